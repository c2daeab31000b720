// Tessaline: tells the product that setup has completed, in the registry or over the downloader's pipe.
// The process guard (ProcessGuard.cpp) is part of the image and is set up before this runs.
#include <windows.h>

#include <string>

#include "CommandLine.h"
#include "CompletionNotice.h"
#include "InstallMarker.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int)
{
    const std::wstring name = RegistryName(lpCmdLine != nullptr ? lpCmdLine : L"");

    const HRESULT result = !name.empty() ? WriteInstallMarker(name) : NotifyDownloader();
    return static_cast<int>(result);
}
