// TessalineCheck: says, in sentences a support engineer can paste into a ticket, what Tessaline.exe does
// with the command line a setup gives it, on this machine and for this account, and why it would not
// report completion. It decides with the program's own code (its command line, pipe name, connection and
// message format) and changes nothing unless asked: no marker, and no notice without --send.
#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Account.h"
#include "CheckOptions.h"
#include "CommandLine.h"
#include "DebugMonitor.h"
#include "MarkerCheck.h"
#include "PipeCheck.h"
#include "RunToEnd.h"
#include "Text.h"
#include "Report.h"

// The build sets it from the project's version; a compile outside the build (the linter's) has none.
#ifndef TESSALINE_VERSION
#define TESSALINE_VERSION L"(unversioned)"
#endif

namespace {

// Time left after a run for its debugger line to come through.
const DWORD kDebugLineWaitMs = 5000;

std::wstring Hex8(DWORD code)
{
    wchar_t text[11];
    std::swprintf(text, 11, L"0x%08lX", code);
    return text;
}

// Runs the Tessaline.exe of --run with the command line, and judges by what it did.
Verdict RunTessaline(const CheckOptions& options, const std::wstring& name, const Verdict& found)
{
    // A line is handed to one reader only: with a debugger viewer open, that viewer shows it instead.
    bool monitored = true;
    try {
        DebugMonitor::Instance();
    } catch (const std::runtime_error&) {
        monitored = false;
    }
    const FinishedRun run = RunToEnd(options.run, options.tessalineLine, options.waitSeconds * 1000);
    if (!run.started) {
        Say(L"run", L"did not start: error " + Decimal(run.startError) + L": " + SystemMessage(run.startError));
        return {Outcome::ToolFailed, L"the Tessaline.exe to run did not start (error " + Decimal(run.startError) + L")",
                std::wstring()};
    }
    const std::wstring meaning = Widen(ExitCodeMeaning(run.exitCode), CP_UTF8);
    if (run.ended)
        Say(L"run", L"exit code " + Hex8(run.exitCode) + L" (" + meaning + L", " +
                        std::to_wstring(static_cast<long>(run.exitCode)) + L") after " + Seconds(run.milliseconds));
    else
        Say(L"run", L"still running after " + Decimal(options.waitSeconds) +
                        L" s, and ended by this tool: Tessaline waits for the downloader's answer without a time "
                        L"limit, and the setup with it");

    std::vector<std::wstring> lines;
    if (!monitored)
        Say(L"debugger line", L"not read: another debugger viewer holds the debugger output, and shows the line");
    else if (!DebugMonitor::Instance().TakeLinesOf(run.processId, kDebugLineWaitMs, lines))
        Say(L"debugger line", L"not all read: the debugger output did not come through in time");
    for (const std::wstring& line : lines)
        Say(L"debugger line", line);
    if (monitored && lines.empty())
        Say(L"debugger line", L"none (success, a false answer and registry mode write none)");
    if (!name.empty())
        Say(L"marker after the run", ReadMarker(name).text);

    if (!run.ended)
        return {Outcome::DoesNotReport, L"Tessaline did not end within " + Decimal(options.waitSeconds) + L" s",
                found.reason};
    if (run.exitCode == S_OK)
        return {found.outcome == Outcome::AnotherAccount ? Outcome::AnotherAccount : Outcome::Reports,
                L"Tessaline reported completion (S_OK)" +
                    (found.outcome == Outcome::AnotherAccount ? L"; but see the warning above" : std::wstring()),
                std::wstring()};
    return {Outcome::DoesNotReport,
            L"Tessaline did not report completion (" + meaning + L")" +
                (found.reason.empty() ? std::wstring() : L": " + found.reason),
            found.reason};
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    CheckOptions options;
    const std::wstring problem = ParseCheckOptions(argc, argv, GetCommandLineW(), options);
    if (!problem.empty() || options.help) {
        std::fputws(problem.empty() ? L"" : (problem + L"\n").c_str(), stderr);
        std::fputws(CheckUsage, problem.empty() ? stdout : stderr);
        return problem.empty() ? 0 : static_cast<int>(Outcome::ToolFailed);
    }

    PrintLine(L"TessalineCheck " TESSALINE_VERSION L": what Tessaline.exe does with a setup's command line, here and "
              L"for this account");
    Say(L"command line", options.tessalineLine.empty() ? L"(empty)" : options.tessalineLine);
    const Account self = OwnAccount();
    Say(L"this tool runs as", self.Describe());

    // The program's own command-line code decides the mode and the name.
    const std::wstring name = RegistryName(options.tessalineLine);
    Verdict verdict;
    if (name.empty()) {
        verdict = CheckPipeMode(options.send, options.waitSeconds * 1000);
    } else {
        if (options.send)
            Say(L"notice", L"not sent: --send is for pipe mode");
        verdict = CheckRegistryMode(name, self);
    }
    if (!options.run.empty())
        verdict = RunTessaline(options, name, verdict);
    Say(L"verdict", verdict.text);
    return static_cast<int>(verdict.outcome);
}
