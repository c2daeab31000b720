// The registry record that setup has completed for a product: HKCU\Software\Tessaline\<name>, Install = "1".
#pragma once

#include <windows.h>

#include <string>

#include "../Handles.h"

// Creates keys under a parent and holds the last one it created; the parent itself is never closed.
class RegistryKey {
public:
    explicit RegistryKey(HKEY parent) : parent_(parent) {}

    // Creates or opens parent\subKey with full access; returns the status of RegCreateKeyExW.
    LSTATUS Create(const wchar_t* subKey);

    // The key created last, or the parent while there is none.
    HKEY Handle() const { return key_ ? key_.get() : parent_; }

private:
    HKEY parent_;
    UniqueKey key_;
    REGSAM access_ = 0;
    std::wstring path_;
};

extern const wchar_t InstallMarkerRoot[];

// Records completion for the name; S_OK or E_FAIL.
HRESULT WriteInstallMarker(const std::wstring& name);
