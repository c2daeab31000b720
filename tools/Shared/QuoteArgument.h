// Quoting one argument for a CreateProcessW command line, so that the child's argv gets it back unchanged.
#pragma once

#include <string>

inline std::wstring QuoteArgument(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote itself escaped.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    // Before the closing quote they are doubled as well.
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}
