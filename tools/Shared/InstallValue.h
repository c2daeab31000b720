// The "Install" value of a marker key as it is stored, for the tools and tests that read markers back.
#pragma once

#include <windows.h>

#include <string>

struct InstallValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::string data;

    bool Exists() const { return status == ERROR_SUCCESS; }
    // REG_SZ "1" with its terminator: the four bytes 31 00 00 00.
    bool IsMarker() const { return Exists() && type == REG_SZ && data == std::string("1\0\0\0", 4); }
    // `REG_SZ "1" (4 bytes: 31 00 00 00)`: the type, the text of a string type, and the bytes.
    std::string Describe() const;
};

// The key's "Install" value, whatever its size.
InstallValue ReadInstallValue(HKEY key);

// "REG_SZ", "REG_DWORD", ..., or "type N".
std::string RegistryTypeName(DWORD type);
