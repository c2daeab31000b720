// Functions of system DLLs that a program may find missing, looked up at run time so that the program
// still loads where they do not exist.
#pragma once

#include <windows.h>

// The function of a DLL that this process has loaded; null where either is missing.
template <typename Function> Function SystemFunction(const wchar_t* module, const char* name)
{
    const HMODULE loaded = GetModuleHandleW(module);
    return loaded != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(loaded, name)))
                             : nullptr;
}
