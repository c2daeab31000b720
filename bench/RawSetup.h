// What every run of Tessaline must do before its work, written with system calls only, so that the
// yardsticks pay for it too and the ratio measures only what the program adds.
// A copy of the program's process guard and AppContainer query, on purpose: yardsticks share no code with it.
#pragma once

#include <windows.h>

#include "Handles.h"

inline LONG WINAPI RawFailOnFault(EXCEPTION_POINTERS*)
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(E_FAIL));
    return EXCEPTION_EXECUTE_HANDLER;
}

// The process set-up: DLLs from the system folder only, no error dialogs, a fault filter.
inline void RawProcessSetUp()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
        const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
        if (setDefaultDllDirectories != nullptr)
            setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(RawFailOnFault);
}

// The AppContainer question a pipe client asks before it opens the pipe: true inside one.
inline bool RawInAppContainer()
{
    UniqueHandle token;
    const DWORD access = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT;
    if (!OpenProcessToken(GetCurrentProcess(), access, token.receive()))
        return false;
    DWORD needed = 0;
    if (GetTokenInformation(token.get(), TokenAppContainerSid, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(TOKEN_APPCONTAINER_INFORMATION))
        return false;
    const ProcessHeapPtr<TOKEN_APPCONTAINER_INFORMATION> info(
        static_cast<TOKEN_APPCONTAINER_INFORMATION*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed)));
    DWORD returned = 0;
    return info && GetTokenInformation(token.get(), TokenAppContainerSid, info.get(), needed, &returned) &&
           returned >= sizeof(TOKEN_APPCONTAINER_INFORMATION) && info->TokenAppContainer != nullptr;
}
