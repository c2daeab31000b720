#include "RunCheck.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include "DebugMonitor.h"
#include "ErrorText.h"
#include "MarkerCheck.h"
#include "RunToEnd.h"

namespace {

// Time left after a run for its debugger line to come through.
const DWORD kDebugLineWaitMs = 5000;

// The longest the program's connection retry can take: eleven attempts that each wait up to 3 s for a
// free instance, and ten pauses of 0.5 s, with room for starting the process.
const DWORD kLongestConnectMs = 40000;

// "file version 1.0.0.0", or why the file has none.
std::wstring VersionOf(const std::wstring& program)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(program.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || length < sizeof *info)
        return L"no version resource (" + ErrorText(GetLastError()) + L")";
    return L"file version " + Decimal(HIWORD(info->dwFileVersionMS)) + L"." + Decimal(LOWORD(info->dwFileVersionMS)) +
           L"." + Decimal(HIWORD(info->dwFileVersionLS)) + L"." + Decimal(LOWORD(info->dwFileVersionLS));
}

// What the program was doing when it was ended, and how that is known: registry mode does nothing but
// write the marker; in pipe mode a write (where the system counts them) is the notice, and a run longer
// than the retry can take has connected.
struct Phase {
    const wchar_t* name;
    const wchar_t* evidence;
};

Phase PhaseOf(const FinishedRun& run, bool registryMode)
{
    if (registryMode)
        return {L"writing the marker", L"registry mode does nothing else"};
    if (run.io.WriteOperationCount > 0)
        return {L"waiting for the answer", L"its notice was written"};
    if (run.io.ReadOperationCount + run.io.OtherOperationCount > 0)
        return {L"connecting", L"it has written nothing to the pipe yet"};
    if (run.milliseconds > kLongestConnectMs)
        return {L"waiting for the answer", L"it ran longer than its connection retry can take"};
    return {L"connecting or waiting for the answer",
            L"this system does not count the program's writes, and its connection retry can take about 38 s"};
}

} // namespace

Verdict RunTessaline(const std::wstring& program, const std::wstring& commandLine, const std::wstring& name,
                     DWORD limitMs, const Verdict& look)
{
    Say(L"run program", program + L", " + VersionOf(program));
    // A line is handed to one reader only: with a debugger viewer open, that viewer shows it instead.
    bool monitored = true;
    try {
        DebugMonitor::Instance();
    } catch (const std::runtime_error&) {
        monitored = false;
    }
    const FinishedRun run = RunToEnd(program, commandLine, limitMs);
    if (!run.started) {
        Say(L"run", L"did not start: " + ErrorText(run.startError));
        return {Outcome::ToolFailed,
                L"the Tessaline.exe to run did not start (error " + Decimal(run.startError) + L")"};
    }
    if (run.jobError != ERROR_SUCCESS)
        Say(L"run job", L"none (" + ErrorText(run.jobError) + L"): ending this tool does not end the run");
    if (run.ended)
        Say(L"run", L"exit code " + ExitCodeText(run.exitCode) + L" after " + Seconds(run.milliseconds));
    else
        Say(L"run", L"still running after " + Seconds(run.milliseconds) + L" (--wait), and ended by this tool");
    const Phase phase = PhaseOf(run, !name.empty());
    if (!run.ended)
        Say(L"run phase", std::wstring(phase.name) + L": " + phase.evidence);

    std::vector<std::wstring> lines;
    bool complete = false;
    if (!monitored)
        Say(L"debugger line", L"not read: another debugger viewer holds the debugger output, and shows the line");
    else if (!(complete = DebugMonitor::Instance().TakeLinesOf(run.processId, kDebugLineWaitMs, lines)))
        Say(L"debugger line", L"not all read within " + Seconds(kDebugLineWaitMs));
    for (const std::wstring& line : lines)
        Say(L"debugger line", line);
    if (complete && lines.empty())
        Say(L"debugger line", run.ended ? L"none" : L"none before it was ended");

    MarkerReading marker;
    if (!name.empty()) {
        marker = ReadMarker(name);
        Say(L"marker after the run", marker.text);
    }

    if (!run.ended)
        return {Outcome::DoesNotReport, L"Tessaline did not end within " + Seconds(limitMs) + L" (" + phase.name +
                                            L"), and a setup waits for it"};
    if (run.exitCode == S_OK && !name.empty() && marker.state != MarkerState::Present)
        return {Outcome::DoesNotReport, L"Tessaline ended with S_OK, but its marker is not there now"};
    if (run.exitCode == S_OK)
        return Reported(L"Tessaline reported completion (S_OK)", look.differences);
    // The program's own line says why; without one, a complete reading means one of the failures that
    // write none.
    std::wstring why;
    if (!lines.empty())
        why = lines.front().compare(0, 11, L"Tessaline: ") == 0 ? lines.front().substr(11) : lines.front();
    else if (complete && run.exitCode == static_cast<DWORD>(E_FAIL))
        why = name.empty() ? L"no debugger line, so the downloader answered false"
                           : L"no debugger line, so the registry refused the key or the value";
    const std::wstring code = run.exitCode == static_cast<DWORD>(E_FAIL) ? L"E_FAIL" : ExitCodeText(run.exitCode);
    return {Outcome::DoesNotReport,
            L"Tessaline did not report completion (" + code + L")" + (why.empty() ? L"" : L": " + why)};
}
