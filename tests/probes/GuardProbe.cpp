// Forces the escapes that the process guard turns into E_FAIL: "throw" lets an exception leave
// the entry point, "fault" writes through a null pointer.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "ProcessGuard.h"
#include "WException.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int)
{
    GuardProcess();
    const std::wstring what = lpCmdLine;
    if (what == L"throw")
        RAISE_WEXCEPTION(L"escaped on purpose");
    if (what == L"throw-int")
        throw 7;
    if (what == L"fault") {
        volatile int* nowhere = nullptr;
        // The null write is this probe's purpose: it raises the access violation that the guard must catch.
        // cppcheck-suppress nullPointer
        *nowhere = 1;
    }
    return 0;
}
