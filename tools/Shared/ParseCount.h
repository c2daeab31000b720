// A whole decimal number from a command-line argument, for the tools' options.
#pragma once

#include <cwchar>

// False unless the whole text is a decimal number no larger than the limit.
[[nodiscard]] inline bool ParseCount(const wchar_t* text, unsigned long limit, unsigned& value)
{
    if (text == nullptr || *text == L'\0' || *text == L'-' || *text == L'+')
        return false;
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (*end != L'\0' || parsed > limit)
        return false;
    value = static_cast<unsigned>(parsed);
    return true;
}
