// The registry record that setup has completed for a product: HKCU\Software\Tessaline\<name>, Install = "1".
#pragma once

#include <windows.h>

#include <string>

// Holds one key created under a parent; never closes the parent itself.
class RegistryKey {
public:
    explicit RegistryKey(HKEY parent) : parent_(parent), key_(parent) {}
    ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Creates or opens parent\subKey with full access; returns the status of RegCreateKeyExW.
    LSTATUS Create(const wchar_t* subKey);

    HKEY Handle() const { return key_; }

private:
    void Close();

    HKEY parent_;
    HKEY key_;
    REGSAM access_ = 0;
    std::wstring path_;
};

extern const wchar_t InstallMarkerRoot[];

// Records completion for the name; S_OK or E_FAIL.
HRESULT WriteInstallMarker(const std::wstring& name);
