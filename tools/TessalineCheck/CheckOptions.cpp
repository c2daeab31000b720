#include "CheckOptions.h"

#include <cwchar>

#include "ParseCount.h"

const wchar_t CheckUsage[] =
    L"Usage: TessalineCheck [--send | --run TESSALINE.EXE] [--wait SECONDS] [--] [COMMAND LINE]\n"
    L"Says what Tessaline.exe does with COMMAND LINE, the text a setup passes after Tessaline.exe, on this\n"
    L"machine and for the account this tool runs as. It writes no marker and sends no notice unless asked.\n"
    L"  --send          pipe mode: send the real completion notice and show the downloader's answer\n"
    L"  --run FILE      run that Tessaline.exe with COMMAND LINE (it sends the notice or writes the marker\n"
    L"                  itself); show its version, exit code, run time and debugger line\n"
    L"  --wait SECONDS  how long to wait for the downloader's answer and for the run (default 60)\n"
    L"  --              ends the options, for a COMMAND LINE that begins with \"--\"\n"
    L"Exit codes (--help: 0):\n"
    L"  0  Tessaline reports completion, or would, as far as this tool can see: registry mode, the key\n"
    L"     can be written; pipe mode, the pipe opens as Tessaline opens it, and with --send or --run the\n"
    L"     downloader answered true (without them its answer is not asked)\n"
    L"  1  it does not, or would not; the last line says why\n"
    L"  2  this tool's command line is wrong, the Tessaline.exe of --run did not start, or this tool\n"
    L"     failed (a \"tool failure\" line says how)\n"
    L"  4  as 0, but for this tool's account only: it runs elevated, as SYSTEM or as another user than\n"
    L"     the session's, or the downloader's pipe lets in an elevated tool and not an unelevated setup;\n"
    L"     the warnings say which\n"
    L"  (3 never: it is what the C runtime's abort() ends a program with, which this tool turns into 2)\n";

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

} // namespace

std::wstring TextAfterArguments(const wchar_t* commandLine, int count)
{
    const wchar_t* p = commandLine;
    // The program's name: quotes start and end a quoted part, and nothing is escaped.
    bool quoted = false;
    for (; *p != L'\0' && (quoted || !IsBlank(*p)); ++p) {
        if (*p == L'"')
            quoted = !quoted;
    }
    for (int i = 0; i < count; ++i) {
        while (IsBlank(*p))
            ++p;
        // An argument: a quote after an even number of backslashes starts or ends a quoted part; a
        // doubled quote inside one is a quote and keeps it open, which two toggles do too.
        quoted = false;
        unsigned backslashes = 0;
        for (; *p != L'\0' && (quoted || !IsBlank(*p)); ++p) {
            if (*p == L'\\') {
                ++backslashes;
                continue;
            }
            if (*p == L'"' && backslashes % 2 == 0)
                quoted = !quoted;
            backslashes = 0;
        }
    }
    while (IsBlank(*p))
        ++p;
    return p;
}

std::wstring ParseCheckOptions(int argc, const wchar_t* const* argv, const wchar_t* rawCommandLine,
                               CheckOptions& options)
{
    int i = 1;
    for (; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--") {
            ++i;
            break;
        }
        if (option.compare(0, 2, L"--") != 0 && option != L"-h" && option != L"/?")
            break;
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
        } else if (option == L"--send") {
            options.send = true;
        } else if (option == L"--run") {
            if (value == nullptr || *value == L'\0')
                return L"--run needs the path of a Tessaline.exe";
            options.run = value;
            ++i;
        } else if (option == L"--wait") {
            if (!ParseCount(value, 24 * 60 * 60, options.waitSeconds) || options.waitSeconds == 0)
                return L"--wait takes a number of seconds from 1 to 86400";
            ++i;
        } else {
            return L"unknown option " + option + L" (a command line for Tessaline.exe begins with /)";
        }
    }
    if (options.send && !options.run.empty())
        return L"--send and --run together would send two real notices; give one of them";
    options.tessalineLine = i < argc ? TextAfterArguments(rawCommandLine, i - 1) : std::wstring();
    return std::wstring();
}
