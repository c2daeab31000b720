// Timer: times whole program runs from inside Windows (or Wine), where process start is part of the cost.
//   Timer [--runs N] [--warmup N] [--wait-pipe NAME] PROGRAM [ARGUMENTS...] [-- PROGRAM [ARGUMENTS...]]...
// Runs each program N times, taking turns (ABAB...) so that drift weighs on all of them alike, after the
// untimed warm-up rounds. Each run is CreateProcessW to the end of the wait; a run whose exit code is not 0
// stops the whole measure. Prints, one line per program: median min max (milliseconds), then the program;
// then, for each program after the first, "ratio" and the median, min and max over the rounds of the
// first program's time divided by its time in the same round: a drift in machine speed between rounds
// then cancels out.
// --wait-pipe waits, outside the timed part, until the named pipe has a free instance before each run.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "Handles.h"
#include "ParseCount.h"
#include "QuoteArgument.h"
#include "Text.h"

namespace {

struct Command {
    std::wstring program;
    std::wstring commandLine;
    std::wstring text; // as shown in the report
    std::vector<double> timesMs;
};

const wchar_t Usage[] =
    L"usage: Timer [--runs N] [--warmup N] [--wait-pipe NAME] PROGRAM [ARGUMENTS...] [-- PROGRAM [ARGUMENTS...]]...\n";

const unsigned long kMaxCount = 100000;

// Quotes an argument only when the command-line rules need it, so that plain ones go on as they were.
std::wstring QuoteIfNeeded(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    return QuoteArgument(argument);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Waits up to 10 s for a free instance of the pipe. Between two clients a server may have no instance
// at all for a moment: WaitNamedPipeW then fails, at once when there is none, or under Wine when the last
// one closes while it waits (error 676). So it is asked again until the time is up.
bool WaitForPipe(const std::wstring& pipe)
{
    const DWORD limitMs = 10000;
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < limitMs; elapsed = GetTickCount() - start) {
        if (WaitNamedPipeW(pipe.c_str(), limitMs - elapsed))
            return true;
        Sleep(5);
    }
    return false;
}

// One run; false, after saying why, when the program could not start, did not end or did not exit with 0.
bool RunOnce(Command& command, const std::wstring& pipe, bool timed, const LARGE_INTEGER& frequency)
{
    if (!pipe.empty() && !WaitForPipe(pipe)) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "Timer: the pipe %s has no free instance (error %lu)\n", Narrow(pipe, CP_UTF8).c_str(),
                     error);
        return false;
    }

    std::wstring commandLine = command.commandLine; // CreateProcessW may write to it
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(command.program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "Timer: cannot start %s (error %lu)\n", Narrow(command.program, CP_UTF8).c_str(), error);
        return false;
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    const DWORD waited = WaitForSingleObject(process.get(), 60000);
    QueryPerformanceCounter(&end);

    DWORD code = 0;
    const bool ended = waited == WAIT_OBJECT_0 && GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE;
    if (!ended)
        TerminateProcess(process.get(), 1);
    if (!ended) {
        std::fprintf(stderr, "Timer: %s did not end within 60 s\n", Narrow(command.text, CP_UTF8).c_str());
        return false;
    }
    if (code != 0) {
        std::fprintf(stderr, "Timer: %s exited with 0x%08lX\n", Narrow(command.text, CP_UTF8).c_str(), code);
        return false;
    }
    if (timed)
        command.timesMs.push_back(static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
                                  static_cast<double>(frequency.QuadPart));
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned runs = 30;
    unsigned warmup = 1;
    std::wstring pipe;
    int i = 1;
    // Every option takes a value: each round reads two arguments.
    for (; i < argc && std::wcsncmp(argv[i], L"--", 2) == 0 && argv[i][2] != L'\0'; i += 2) {
        const std::wstring option = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool valid = value != nullptr;
        if (option == L"--runs")
            valid = valid && ParseCount(value, kMaxCount, runs) && runs > 0;
        else if (option == L"--warmup")
            valid = valid && ParseCount(value, kMaxCount, warmup);
        else if (option == L"--wait-pipe")
            pipe = valid ? value : L"";
        else
            valid = false;
        if (!valid) {
            std::fprintf(stderr, "Timer: bad option %s\n", Narrow(option, CP_UTF8).c_str());
            std::fputws(Usage, stderr);
            return 2;
        }
    }

    if (i < argc && std::wcscmp(argv[i], L"--") == 0)
        ++i; // ends the options
    std::vector<Command> commands;
    for (; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--") {
            if (commands.empty() || commands.back().program.empty())
                break; // an empty command
            commands.emplace_back();
            continue;
        }
        if (commands.empty())
            commands.emplace_back();
        Command& command = commands.back();
        if (command.program.empty()) {
            command.program = argument;
            command.commandLine = QuoteIfNeeded(argument);
            const std::wstring::size_type slash = argument.find_last_of(L"\\/");
            command.text = slash == std::wstring::npos ? argument : argument.substr(slash + 1);
        } else {
            command.commandLine += L" " + QuoteIfNeeded(argument);
            command.text += L" " + argument;
        }
    }
    if (i < argc || commands.empty() || commands.back().program.empty()) {
        std::fputws(Usage, stderr);
        return 2;
    }

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (unsigned round = 0; round < warmup + runs; ++round)
        for (Command& command : commands)
            if (!RunOnce(command, pipe, round >= warmup, frequency))
                return 1;

    std::printf("# median min max (ms, %u runs each, alternated), program\n", runs);
    for (const Command& command : commands) {
        const auto range = std::minmax_element(command.timesMs.begin(), command.timesMs.end());
        std::printf("%.2f %.2f %.2f %s\n", Median(command.timesMs), *range.first, *range.second,
                    Narrow(command.text, CP_UTF8).c_str());
    }
    for (std::size_t k = 1; k < commands.size(); ++k) {
        std::vector<double> ratios;
        for (std::size_t round = 0; round < runs; ++round)
            ratios.push_back(commands[0].timesMs[round] / commands[k].timesMs[round]);
        const auto range = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("ratio %.3f %.3f %.3f %s\n", Median(ratios), *range.first, *range.second,
                    Narrow(commands[k].text, CP_UTF8).c_str());
    }
    return 0;
}
