// Reading the registry in tests: keys with one owner, their subkeys and values, and the marker value.
#pragma once

#include <windows.h>

#include <set>
#include <string>

#include "Handles.h"
#include "RegistryKeys.h"

// The direct subkeys of an open key; empty for a null key.
std::set<std::wstring> SubkeysOfKey(HKEY key);

DWORD ValueCountOf(HKEY key);

// The key's "Install" value as it is stored.
struct InstallValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::string data;

    bool Exists() const { return status == ERROR_SUCCESS || status == ERROR_MORE_DATA; }
    // REG_SZ "1" with its terminator: the four bytes 31 00 00 00.
    bool IsMarker() const { return status == ERROR_SUCCESS && type == REG_SZ && data == std::string("1\0\0\0", 4); }
};

InstallValue ReadInstallValue(HKEY key);
