// RunReport [--marker] PROGRAM [ARGUMENTS...]: runs the program, waits, and prints its exit code as an HRESULT.
// Exits with 0 when the program returned S_OK, 1 when it returned anything else, 2 when it did not run.
// --marker, for Tessaline: also shows the registry key that the arguments select, chosen by the program's
// own command-line code, and its Install value as read back after the run (type and bytes). The value is
// deleted before the run, so that what is shown is what this run wrote.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "CommandLine.h"
#include "InstallMarker.h"
#include "InstallValue.h"
#include "QuoteArgument.h"
#include "RegistryKeys.h"
#include "RunToEnd.h"
#include "Text.h"

namespace {

void DeleteInstallValue(const std::wstring& path)
{
    if (const UniqueKey key = OpenUserKey(path, KEY_SET_VALUE))
        RegDeleteValueW(key.get(), InstallValueName);
}

// "no such key", "no Install value", or the value's type, text (for strings) and bytes.
std::string DescribeInstallValue(const std::wstring& path)
{
    const UniqueKey key = OpenUserKey(path, KEY_QUERY_VALUE);
    if (!key)
        return "no such key";
    const InstallValue value = ReadInstallValue(key.get());
    return value.Exists() ? "Install = " + value.Describe() : "no Install value";
}

// The arguments as one command-line text, each keeping its quoting: one that holds quotes goes on as
// written (its caller quoted it for the program, as the WiX check does for msiexec), and one whose
// quotes the C runtime took away gets them back where it needs them to stay one argument.
std::wstring JoinArguments(int count, const wchar_t* const* arguments)
{
    std::wstring text;
    for (int i = 0; i < count; ++i) {
        const std::wstring argument = arguments[i];
        const bool needsQuotes = argument.empty() || (argument.find_first_of(L" \t") != std::wstring::npos &&
                                                      argument.find(L'"') == std::wstring::npos);
        text += (i == 0 ? L"" : L" ") + (needsQuotes ? QuoteArgument(argument) : argument);
    }
    return text;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int first = 1;
    const bool marker = argc > 1 && std::wcscmp(argv[1], L"--marker") == 0;
    if (marker)
        ++first;
    if (argc <= first) {
        std::fputs("usage: RunReport [--marker] PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    const std::wstring arguments = JoinArguments(argc - first - 1, argv + first + 1);

    // What the program sees after its own name: the same text.
    const std::wstring name = marker ? RegistryName(arguments) : std::wstring();
    const std::wstring path = InstallMarkerRoot + name;
    if (!name.empty())
        DeleteInstallValue(path);

    const FinishedRun run = RunToEnd(argv[first], arguments);
    if (!run.started) {
        std::fprintf(stderr, "cannot start the program (error %lu)\n", run.startError);
        return 2;
    }
    const DWORD code = run.exitCode;
    std::printf("exit code %s after %.2f s\n", Narrow(ExitCodeText(code), CP_UTF8).c_str(), run.milliseconds / 1000.0);
    if (marker) {
        if (name.empty())
            std::puts("pipe mode (no non-empty /name): no registry key");
        else
            std::printf("registry key HKEY_CURRENT_USER\\%s: %s\n", Narrow(path, CP_UTF8).c_str(),
                        DescribeInstallValue(path).c_str());
    }
    return code == S_OK ? 0 : 1;
}
