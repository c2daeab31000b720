#include "ConsoleOutput.h"

#include <windows.h>

#include <cstdio>

#include "Text.h"

void PrintLine(const std::wstring& line)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        const std::wstring text = line + L"\r\n";
        DWORD written = 0;
        WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string utf8 = Narrow(line + L"\n", CP_UTF8);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}
