// Tessaline: tells the product that setup has completed, in the registry or over the downloader's pipe.
#include <windows.h>

#include <string>

#include "CommandLine.h"
#include "CompletionNotice.h"
#include "InstallMarker.h"
#include "ProcessGuard.h"

namespace {

// The /name value, or empty for the pipe mode. The tokens come without double quotes: the command
// line's cutting removes them.
std::wstring ProductName(const OptionParser& parser)
{
    if (!parser.Has(L"/name") || parser.ValueCount(L"/name") == 0)
        return std::wstring();
    return parser.Value(L"/name");
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int)
{
    GuardProcess();

    const std::wstring commandLine = lpCmdLine != nullptr ? lpCmdLine : L"";
    TokenList tokens;
    const int count = SplitCommandLine(commandLine, tokens);
    OptionParser parser;
    std::wstring name;
    if (parser.Parse(count, tokens.Entries()) != 0)
        name = ProductName(parser);

    const HRESULT result = !name.empty() ? WriteInstallMarker(name) : NotifyDownloader();
    return static_cast<int>(result);
}
