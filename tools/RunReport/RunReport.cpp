// RunReport PROGRAM [ARGUMENTS...]: runs the program, waits, and prints its exit code as an HRESULT.
#include <windows.h>

#include <cstdio>
#include <string>

#include "QuoteArgument.h"

namespace {

const char* Meaning(DWORD code)
{
    switch (code) {
    case S_OK:
        return "S_OK";
    case static_cast<DWORD>(E_FAIL):
        return "E_FAIL";
    default:
        return "unexpected";
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fputs("usage: RunReport PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    // The arguments go on as the program's raw command-line text, the way a setup passes them.
    std::wstring commandLine = QuoteArgument(argv[1]);
    for (int i = 2; i < argc; ++i)
        commandLine += std::wstring(L" ") + argv[i];

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(argv[1], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        std::fprintf(stderr, "cannot start the program (error %lu)\n", GetLastError());
        return 2;
    }
    const DWORD start = GetTickCount();
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    std::printf("exit code 0x%08lX (%s, %ld) after %.2f s\n", code, Meaning(code), static_cast<long>(code),
                (GetTickCount() - start) / 1000.0);
    return code == S_OK ? 0 : 1;
}
