// What every run of Tessaline must do before its work, written with system calls only, so that the
// yardsticks pay for it too and the ratio measures only what the program adds.
#pragma once

#include <windows.h>

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
    HANDLE token = nullptr;
    const DWORD access = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT;
    if (!OpenProcessToken(GetCurrentProcess(), access, &token))
        return false;
    bool inside = false;
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenAppContainerSid, nullptr, 0, &needed) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed >= sizeof(TOKEN_APPCONTAINER_INFORMATION)) {
        void* info = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed);
        if (info != nullptr) {
            DWORD returned = 0;
            inside = GetTokenInformation(token, TokenAppContainerSid, info, needed, &returned) &&
                     returned >= sizeof(TOKEN_APPCONTAINER_INFORMATION) &&
                     static_cast<TOKEN_APPCONTAINER_INFORMATION*>(info)->TokenAppContainer != nullptr;
            HeapFree(GetProcessHeap(), 0, info);
        }
    }
    CloseHandle(token);
    return inside;
}
