// Tessaline: tells the product that setup has completed, in the registry or over the downloader's pipe.
#include <windows.h>

#include <string>

#include "CommandLine.h"
#include "CompletionNotice.h"
#include "InstallMarker.h"
#include "ProcessGuard.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int)
{
    GuardProcess();

    const std::wstring name = RegistryName(lpCmdLine != nullptr ? lpCmdLine : L"");

    const HRESULT result = !name.empty() ? WriteInstallMarker(name) : NotifyDownloader();
    return static_cast<int>(result);
}
