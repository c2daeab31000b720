// The typed byte format of pipe messages: each value is a 4-byte little-endian tag and its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

enum class ValueType : std::int32_t {
    Integer = 0, // 4-byte signed little-endian
    String = 2,  // 4-byte length in UTF-16 code units, then the code units
    Boolean = 5, // 1 byte, non-zero is true
};

// Builds one message by appending values. Once a write has failed, every later write fails too.
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
    const std::string& Content() const { return bytes_; }

private:
    void WriteRaw(std::uint32_t value);
    void WriteRawBytes(const char* bytes, std::size_t count);

    std::string bytes_;
    bool failed_ = false;
};

// Reads the values of one received message in order. A read that comes up short takes what was left
// and leaves the buffer failed: every later read fails too, until an assignment replaces the content.
class InputBuffer {
public:
    InputBuffer() = default;
    explicit InputBuffer(std::string bytes) : bytes_(std::move(bytes)) {}
    // Copies and moves take the whole content and start reading at its first byte again, without a failure
    // and without a pending tag.
    InputBuffer(const InputBuffer& other);
    InputBuffer(InputBuffer&& other) noexcept;
    InputBuffer& operator=(const InputBuffer& other);
    InputBuffer& operator=(InputBuffer&& other) noexcept;

    bool ReadBoolean();
    std::int32_t ReadInteger();
    std::wstring ReadString();

    // The whole message, whatever has been read of it.
    const std::string& Content() const { return bytes_; }

    // A tag was read whose value has not been taken: the next typed read reuses it.
    bool TagPending() const { return tagPending_; }
    std::int32_t LastTag() const { return lastTag_; }
    // Offset of the next unread byte, or -1 once a read came up short.
    std::int64_t Position() const { return failed_ ? -1 : static_cast<std::int64_t>(position_); }

private:
    // Reading starts again at the first byte, with no failure and no tag pending.
    void Restart() noexcept;
    // What a moved-from buffer becomes: an empty message with nothing read, not even a tag.
    void Empty() noexcept;
    void ExpectType(ValueType expected);
    // Takes count bytes, or raises "Unexpected end of input buffer" and fails the buffer.
    const unsigned char* Take(std::uint64_t count);
    std::uint32_t ReadRaw(std::size_t width);

    std::string bytes_;
    std::size_t position_ = 0;
    bool failed_ = false;
    std::int32_t lastTag_ = 0;
    bool tagPending_ = false;
};
