// Small text helpers shared by the pipe code and the program: white space, trimming, code-page
// conversion and decimal numbers, without the string streams or std::locale (and their runtime weight).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <string>

// White space as the classic ("C") locale's ctype facet of the character type classifies it.
bool IsSpace(char c) noexcept;
bool IsSpace(wchar_t c) noexcept;

// The text without the white space at both ends; white space inside stays.
template <typename Char> std::basic_string<Char> Trim(const std::basic_string<Char>& text)
{
    typename std::basic_string<Char>::size_type first = 0;
    typename std::basic_string<Char>::size_type last = text.size();
    while (first < last && IsSpace(text[first]))
        ++first;
    while (last > first && IsSpace(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// Removes every occurrence of the character.
template <typename Char> void EraseAll(std::basic_string<Char>& text, Char c)
{
    text.erase(std::remove(text.begin(), text.end(), c), text.end());
}

// Converts length bytes of the code page into at most capacity UTF-16 code units, without a terminator,
// and returns how many it wrote: 0 for an empty text or a failed conversion. With no output, returns
// how many the whole text needs. Allocates nothing. From the ANSI code page or UTF-8 a byte never
// gives more than one code unit, so capacity bytes of text always fit in capacity units.
std::size_t WidenInto(const char* text, std::size_t length, UINT codePage, wchar_t* out, std::size_t capacity) noexcept;

// Converts the longest start of length UTF-16 code units whose bytes in the code page fit into capacity
// bytes, ending at a whole character, without a terminator; returns how many bytes it wrote (0 for an
// empty text or a failed conversion). A code unit may take up to three bytes (UTF-8, which the ANSI code
// page can be), so the text is cut rather than the buffer overrun. Allocates nothing.
std::size_t NarrowInto(const wchar_t* text, std::size_t length, UINT codePage, char* out,
                       std::size_t capacity) noexcept;

// The whole text in UTF-16; empty when the text is empty or cannot be converted.
std::wstring Widen(const std::string& text, UINT codePage);

// The text in the code page (no default character); empty when it is empty or cannot be converted.
std::string Narrow(const std::wstring& text, UINT codePage);

// Room for the decimal digits of any 32-bit unsigned value.
const std::size_t kDecimalDigits = 10;

// Writes the unsigned decimal digits of the value (no sign, no leading zeros, no grouping) to out,
// which has room for kDecimalDigits units, and returns their count. Allocates nothing.
std::size_t WriteDecimal(unsigned long value, wchar_t* out) noexcept;

// The same digits as a string.
std::wstring Decimal(unsigned long value);
