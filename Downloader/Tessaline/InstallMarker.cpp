#include "InstallMarker.h"

const wchar_t InstallMarkerRoot[] = L"Software\\Tessaline\\";

LSTATUS RegistryKey::Create(const wchar_t* subKey)
{
    wchar_t emptyClass[] = L"";
    const LSTATUS status = RegCreateKeyExW(parent_, subKey, 0, emptyClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                           nullptr, key_.receive(), nullptr);
    // A failed call leaves no key to close in the out parameter.
    if (status != ERROR_SUCCESS)
        static_cast<void>(key_.release());
    access_ = KEY_ALL_ACCESS;
    path_ = subKey;
    return status;
}

HRESULT WriteInstallMarker(const std::wstring& name)
{
    RegistryKey marker(HKEY_CURRENT_USER);
    const std::wstring path = InstallMarkerRoot + name;
    // A key that cannot be made means the completion was not recorded: that is a failure.
    if (marker.Create(path.c_str()) != ERROR_SUCCESS)
        return E_FAIL;

    const LSTATUS status = RegSetValueExW(marker.Handle(), InstallValueName, 0, InstallValueType,
                                          reinterpret_cast<const BYTE*>(InstallValueText), sizeof InstallValueText);
    return status == ERROR_SUCCESS ? S_OK : E_FAIL;
}
