#include "Text.h"

#include <cwctype>

bool IsSpace(char c) noexcept
{
    // The "C" locale's table: no byte above 0x7F is white space.
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsSpace(wchar_t c) noexcept
{
    // The classic locale's wide ctype facet answers by asking the C runtime's iswctype for "space";
    // asking it directly gives the same answer without the locale machinery.
    return std::iswspace(static_cast<std::wint_t>(c)) != 0;
}

std::size_t WidenInto(const char* text, std::size_t length, UINT codePage, wchar_t* out, std::size_t capacity) noexcept
{
    if (length == 0 || length > 0x7FFFFFFF)
        return 0;
    const int room = out == nullptr ? 0 : static_cast<int>(capacity > 0x7FFFFFFF ? 0x7FFFFFFF : capacity);
    const int units = MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), out, room);
    return units > 0 ? static_cast<std::size_t>(units) : 0;
}

std::size_t NarrowInto(const wchar_t* text, std::size_t length, UINT codePage, char* out, std::size_t capacity) noexcept
{
    const int room = static_cast<int>(capacity > 0x7FFFFFFF ? 0x7FFFFFFF : capacity);
    const auto bytesOf = [&](std::size_t units) {
        return WideCharToMultiByte(codePage, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    };
    // Every code unit takes at least one byte, so no more units than bytes fit; of those, the longest
    // start that fits is searched by halves.
    std::size_t fits = 0;
    std::size_t tried = std::min(length, static_cast<std::size_t>(room));
    for (std::size_t over = tried + 1; fits + 1 < over; tried = fits + (over - fits) / 2) {
        const int needed = bytesOf(tried);
        if (needed > 0 && needed <= room)
            fits = tried;
        else
            over = tried;
    }
    // A cut never parts a pair of surrogates.
    if (fits < length && fits > 0 && IS_HIGH_SURROGATE(text[fits - 1]))
        --fits;
    if (fits == 0)
        return 0;
    const int written = WideCharToMultiByte(codePage, 0, text, static_cast<int>(fits), out, room, nullptr, nullptr);
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

std::wstring Widen(const std::string& text, UINT codePage)
{
    const std::size_t needed = WidenInto(text.data(), text.size(), codePage, nullptr, 0);
    if (needed == 0)
        return std::wstring();
    std::wstring wide(needed, L'\0');
    wide.resize(WidenInto(text.data(), text.size(), codePage, &wide[0], wide.size()));
    return wide;
}

std::string Narrow(const std::wstring& text, UINT codePage)
{
    if (text.empty() || text.size() > 0x7FFFFFFF)
        return std::string();
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    const int written = WideCharToMultiByte(codePage, 0, text.data(), length, &narrow[0], bytes, nullptr, nullptr);
    narrow.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return narrow;
}

static_assert(sizeof(unsigned long) == 4, "a DWORD is an unsigned long of ten digits at most");

std::size_t WriteDecimal(unsigned long value, wchar_t* out) noexcept
{
    wchar_t reversed[kDecimalDigits];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0 && count < kDecimalDigits);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = reversed[count - 1 - i];
    return count;
}

std::wstring Decimal(unsigned long value)
{
    wchar_t digits[kDecimalDigits];
    return std::wstring(digits, WriteDecimal(value, digits));
}
