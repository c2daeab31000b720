// The Install value of a marker key as it is stored, for the tools and tests that read markers back.
#pragma once

#include <windows.h>

#include <string>

#include "InstallMarker.h"

struct InstallValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::string data;

    bool Exists() const { return status == ERROR_SUCCESS; }
    // The marker as the program writes it: REG_SZ "1" with its terminator, and nothing else.
    bool IsMarker() const { return Exists() && IsInstallMarker(type, data.data(), data.size()); }
    // `REG_SZ "1" (4 bytes: 31 00 00 00)`: the type, the text of a string type, and the bytes.
    std::string Describe() const;
};

// The key's Install value, whatever its size.
[[nodiscard]] InstallValue ReadInstallValue(HKEY key);

// "REG_SZ", "REG_DWORD", ..., or "type N".
std::string RegistryTypeName(DWORD type);
