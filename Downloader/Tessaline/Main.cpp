// Tessaline: tells the product that setup has completed, in the registry or over the downloader's pipe.
#include <windows.h>

#include <exception>
#include <string>

#include "CommandLine.h"
#include "CompletionNotice.h"
#include "InstallMarker.h"
#include "ProcessGuard.h"

// The runtime's default terminate handler, in place of libstdc++'s verbose one: that one prints to a
// console this program does not have, and brings in a demangler of some 50 KB. An escape before the
// guard is set up then ends the same way as one after it.
void __gnu_cxx::__verbose_terminate_handler() { EndWithFailure(); }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int)
{
    GuardProcess();

    const std::wstring name = RegistryName(lpCmdLine != nullptr ? lpCmdLine : L"");

    const HRESULT result = !name.empty() ? WriteInstallMarker(name) : NotifyDownloader();
    return static_cast<int>(result);
}
