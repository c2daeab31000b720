// Opening registry keys for the tools and tests, each key held by one owner.
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"

// parent\path opened with the access, or null.
inline UniqueKey OpenKeyBelow(HKEY parent, const std::wstring& path, REGSAM access = KEY_READ)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, access, &key) != ERROR_SUCCESS)
        return UniqueKey();
    return UniqueKey(key);
}

// HKCU\path opened with the access, or null.
inline UniqueKey OpenUserKey(const std::wstring& path, REGSAM access = KEY_READ)
{
    return OpenKeyBelow(HKEY_CURRENT_USER, path, access);
}
