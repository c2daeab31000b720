#include "MessageBuffer.h"

#include "WException.h"

namespace {

const std::ios::iostate kFailed = std::ios::failbit | std::ios::badbit;

} // namespace

void OutputBuffer::WriteRawBytes(const char* bytes, std::size_t count)
{
    stream_.write(bytes, static_cast<std::streamsize>(count));
    if (stream_.rdstate() & kFailed)
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

InputBuffer::InputBuffer() = default;

InputBuffer::InputBuffer(const std::string& bytes) : stream_(bytes, std::ios::in | std::ios::binary) {}

InputBuffer::InputBuffer(const InputBuffer& other)
    : stream_(other.stream_.str(), std::ios::in | std::ios::binary), lastTag_(other.lastTag_),
      tagPending_(other.tagPending_)
{}

InputBuffer& InputBuffer::operator=(const InputBuffer& other)
{
    if (this != &other) {
        stream_.str(other.stream_.str());
        stream_.clear();
        stream_.seekg(0);
        lastTag_ = other.lastTag_;
        tagPending_ = other.tagPending_;
    }
    return *this;
}

std::uint32_t InputBuffer::ReadRaw(std::size_t width)
{
    unsigned char bytes[4] = {};
    stream_.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(width));
    if (stream_.rdstate() & kFailed)
        RAISE_WEXCEPTION(L"Unexpected end of input buffer");
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

    // Refuse a length the message cannot hold before allocating for it.
    const std::streamoff position = stream_.tellg();
    const std::streamoff size = static_cast<std::streamoff>(stream_.str().size());
    if (position < 0 || static_cast<std::uint64_t>(size - position) < 2ull * length) {
        stream_.setstate(std::ios::failbit);
        RAISE_WEXCEPTION(L"Unexpected end of input buffer");
    }

    std::string units(2ull * length, '\0');
    stream_.read(&units[0], static_cast<std::streamsize>(units.size()));
    if (stream_.rdstate() & kFailed)
        RAISE_WEXCEPTION(L"Unexpected end of input buffer");

    std::wstring value(length, L'\0');
    for (std::uint32_t i = 0; i < length; ++i)
        value[i] = static_cast<wchar_t>(static_cast<unsigned char>(units[2 * i]) |
                                        (static_cast<unsigned char>(units[2 * i + 1]) << 8));
    return value;
}
