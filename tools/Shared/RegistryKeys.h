// Opening registry keys for the tools and tests, each key held by one owner.
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"

// parent\path opened with the access, or null, with RegOpenKeyExW's status in `status` when it is given.
inline UniqueKey OpenKeyBelow(HKEY parent, const std::wstring& path, REGSAM access = KEY_READ,
                              LSTATUS* status = nullptr)
{
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(parent, path.c_str(), 0, access, &key);
    if (status != nullptr)
        *status = opened;
    return opened == ERROR_SUCCESS ? UniqueKey(key) : UniqueKey();
}

// HKCU\path opened with the access, or null.
inline UniqueKey OpenUserKey(const std::wstring& path, REGSAM access = KEY_READ, LSTATUS* status = nullptr)
{
    return OpenKeyBelow(HKEY_CURRENT_USER, path, access, status);
}
