// The typed byte format of pipe messages: each value is a 4-byte little-endian tag and its payload.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

enum class ValueType : std::int32_t {
    Integer = 0, // 4-byte signed little-endian
    String = 2,  // 4-byte length in UTF-16 code units, then the code units
    Boolean = 5, // 1 byte, non-zero is true
};

// Builds one message by appending values.
class OutputBuffer {
public:
    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    void WriteInteger(std::int32_t value);
    void WriteString(const std::wstring& value);
    void WriteBoolean(bool value);
    // Appends bytes as they are, for messages that are not made of typed values.
    void WriteBytes(const std::string& bytes) { WriteRawBytes(bytes.data(), bytes.size()); }

    // The whole message as bytes.
    std::string Content() const { return stream_.str(); }

private:
    void WriteRaw(std::uint32_t value);
    void WriteRawBytes(const char* bytes, std::size_t count);

    std::ostringstream stream_{std::ios::out | std::ios::binary};
};

// Reads the values of one received message in order.
class InputBuffer {
public:
    InputBuffer();
    explicit InputBuffer(const std::string& bytes);
    // Copies take the whole content and start reading at its first byte again.
    InputBuffer(const InputBuffer& other);
    InputBuffer& operator=(const InputBuffer& other);

    bool ReadBoolean();
    std::int32_t ReadInteger();
    std::wstring ReadString();

    // The whole message, whatever has been read of it.
    std::string Content() const { return stream_.str(); }

    // A tag was read whose value has not been taken: the next typed read reuses it.
    bool TagPending() const { return tagPending_; }
    std::int32_t LastTag() const { return lastTag_; }
    // Offset of the next unread byte, or -1 once a read came up short.
    std::streamoff Position() { return stream_.tellg(); }

private:
    void ExpectType(ValueType expected);
    std::uint32_t ReadRaw(std::size_t width);

    std::istringstream stream_{std::ios::in | std::ios::binary};
    std::int32_t lastTag_ = 0;
    bool tagPending_ = false;
};
