// RawRegistry: the registry mode's system calls and nothing else, as the yardstick for Tessaline's registry mode.
// Writes HKEY_CURRENT_USER\Software\Tessaline\BenchProduct, value Install = "1" (REG_SZ); 0 or E_FAIL.
// Makes the same process set-up as Tessaline first.
#include <windows.h>

#include "Handles.h"
#include "RawSetup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    RawProcessSetUp();
    HKEY created = nullptr;
    wchar_t emptyClass[] = L"";
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tessaline\\BenchProduct", 0, emptyClass, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &created, nullptr) != ERROR_SUCCESS)
        return E_FAIL;
    const UniqueKey key(created);
    static const wchar_t kInstalled[] = L"1";
    const LSTATUS status =
        RegSetValueExW(key.get(), L"Install", 0, REG_SZ, reinterpret_cast<const BYTE*>(kInstalled), sizeof kInstalled);
    return status == ERROR_SUCCESS ? S_OK : E_FAIL;
}
