// The registry record that setup has completed for a product: HKCU\Software\Tessaline\<name>, Install = "1".
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "../Handles.h"

// Creates keys under a parent and holds the last one it created; the parent itself is never closed.
class RegistryKey {
public:
    explicit RegistryKey(HKEY parent) : parent_(parent) {}

    // Creates or opens parent\subKey with full access; returns the status of RegCreateKeyExW.
    [[nodiscard]] LSTATUS Create(const wchar_t* subKey);

    // The key created last, or the parent while there is none.
    HKEY Handle() const { return key_ ? key_.get() : parent_; }

private:
    HKEY parent_;
    UniqueKey key_;
    REGSAM access_ = 0;
    std::wstring path_;
};

// The marker, for the program that writes it and for whatever reads it: under HKEY_CURRENT_USER the key
// InstallMarkerRoot followed by the product's name, holding the value InstallValueName of the type
// InstallValueType with the text InstallValueText, stored with its terminator (the bytes 31 00 00 00).
extern const wchar_t InstallMarkerRoot[];
inline constexpr wchar_t InstallValueName[] = L"Install";
inline constexpr DWORD InstallValueType = REG_SZ;
inline constexpr wchar_t InstallValueText[] = L"1";

// Whether a value read back is the marker: that type and those bytes, nothing else.
inline bool IsInstallMarker(DWORD type, const void* data, std::size_t size)
{
    return type == InstallValueType && size == sizeof InstallValueText &&
           std::memcmp(data, InstallValueText, sizeof InstallValueText) == 0;
}

// Records completion for the name; S_OK or E_FAIL.
[[nodiscard]] HRESULT WriteInstallMarker(const std::wstring& name);
