#include "MessageBuffer.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "WException.h"

void OutputBuffer::WriteRawBytes(const char* bytes, std::size_t count)
{
    if (!failed_) {
        try {
            bytes_.append(bytes, count);
            return;
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        // What was written before stays; the buffer takes nothing more.
        failed_ = true;
    }
    RAISE_WEXCEPTION(L"Unexpected error writing to output buffer");
}

void OutputBuffer::WriteRaw(std::uint32_t value)
{
    const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                           static_cast<char>((value >> 16) & 0xFF), static_cast<char>((value >> 24) & 0xFF)};
    WriteRawBytes(bytes, sizeof bytes);
}

void OutputBuffer::WriteInteger(std::int32_t value)
{
    WriteRaw(static_cast<std::uint32_t>(ValueType::Integer));
    WriteRaw(static_cast<std::uint32_t>(value));
}

void OutputBuffer::WriteString(const std::wstring& value)
{
    WriteRaw(static_cast<std::uint32_t>(ValueType::String));
    WriteRaw(static_cast<std::uint32_t>(value.size()));

    std::string units;
    units.reserve(value.size() * 2);
    for (wchar_t unit : value) {
        units.push_back(static_cast<char>(unit & 0xFF));
        units.push_back(static_cast<char>((unit >> 8) & 0xFF));
    }
    WriteRawBytes(units.data(), units.size());
}

void OutputBuffer::WriteBoolean(bool value)
{
    WriteRaw(static_cast<std::uint32_t>(ValueType::Boolean));
    const char byte = value ? 1 : 0;
    WriteRawBytes(&byte, 1);
}

// A copy or a move starts reading the message again from its first byte, so no tag is pending in it: a
// pending tag belongs to the place where the source stands, and reusing it at the first byte would read
// the tag's own bytes as the value.
InputBuffer::InputBuffer(const InputBuffer& other) : bytes_(other.bytes_), lastTag_(other.lastTag_) {}

InputBuffer::InputBuffer(InputBuffer&& other) noexcept : bytes_(std::move(other.bytes_)), lastTag_(other.lastTag_)
{
    other.Empty();
}

InputBuffer& InputBuffer::operator=(const InputBuffer& other)
{
    if (this != &other) {
        bytes_ = other.bytes_;
        lastTag_ = other.lastTag_;
        Restart();
    }
    return *this;
}

InputBuffer& InputBuffer::operator=(InputBuffer&& other) noexcept
{
    if (this != &other) {
        bytes_ = std::move(other.bytes_);
        lastTag_ = other.lastTag_;
        Restart();
        other.Empty();
    }
    return *this;
}

void InputBuffer::Restart() noexcept
{
    position_ = 0;
    failed_ = false;
    tagPending_ = false;
}

void InputBuffer::Empty() noexcept
{
    bytes_.clear();
    lastTag_ = 0;
    Restart();
}

const unsigned char* InputBuffer::Take(std::uint64_t count)
{
    if (failed_ || bytes_.size() - position_ < count) {
        // Like a stream read that comes up short: what was left is used up, and the failure stays.
        position_ = bytes_.size();
        failed_ = true;
        RAISE_WEXCEPTION(L"Unexpected end of input buffer");
    }
    const auto* taken = reinterpret_cast<const unsigned char*>(bytes_.data()) + position_;
    position_ += static_cast<std::size_t>(count);
    return taken;
}

std::uint32_t InputBuffer::ReadRaw(std::size_t width)
{
    const unsigned char* bytes = Take(width);
    tagPending_ = false;
    std::uint32_t value = 0;
    for (std::size_t i = width; i > 0; --i)
        value = (value << 8) | bytes[i - 1];
    return value;
}

void InputBuffer::ExpectType(ValueType expected)
{
    if (!tagPending_)
        lastTag_ = static_cast<std::int32_t>(ReadRaw(4));
    if (lastTag_ != static_cast<std::int32_t>(expected)) {
        // The tag stays pending, so the caller may still read the value as the kind it is.
        tagPending_ = true;
        RAISE_WEXCEPTION(L"Unexpected type found in input buffer");
    }
    tagPending_ = false;
}

bool InputBuffer::ReadBoolean()
{
    ExpectType(ValueType::Boolean);
    return ReadRaw(1) != 0;
}

std::int32_t InputBuffer::ReadInteger()
{
    ExpectType(ValueType::Integer);
    return static_cast<std::int32_t>(ReadRaw(4));
}

std::wstring InputBuffer::ReadString()
{
    ExpectType(ValueType::String);
    const std::uint32_t length = ReadRaw(4);

    // Taken before the string is allocated: a length the message cannot hold fails without asking for memory.
    const unsigned char* units = Take(2ull * length);
    std::wstring value(length, L'\0');
    for (std::uint32_t i = 0; i < length; ++i)
        value[i] = static_cast<wchar_t>(units[2 * i] | (units[2 * i + 1] << 8));
    return value;
}
