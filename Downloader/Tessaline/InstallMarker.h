// The registry record that setup has completed for a product: HKCU\Software\Tessaline\<name>, Install = "1".
#pragma once

#include <windows.h>

#include <string>

// Holds one key created under a parent; never closes the parent itself.
class RegistryKey {
public:
    explicit RegistryKey(HKEY parentKey) : parent(parentKey), key(parentKey) {}
    ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Creates or opens parent\subKey with full access; returns the status of RegCreateKeyExW.
    LSTATUS Create(const wchar_t* subKey);

    HKEY Handle() const { return key; }

private:
    void Close();

    HKEY parent;
    HKEY key;
    REGSAM access = 0;
    std::wstring path;
};

extern const wchar_t InstallMarkerRoot[];

// Records completion for the name; S_OK or E_FAIL.
HRESULT WriteInstallMarker(const std::wstring& name);
