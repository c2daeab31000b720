// Launching the project's programs as child processes and reading their full exit codes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "QuoteArgument.h"

// E_FAIL as a process exit code.
const DWORD kFail = 0x80004005;

// What starting and ending a program may add to a timed run: a process start costs about 0.05 s
// natively and 0.3-0.5 s under CPU emulation, many times that on a loaded machine.
const double kStartAllowanceSeconds = 4.0;

struct ChildResult {
    DWORD exitCode = 0;
    bool finished = false; // false: still running at the time-out and killed
    double seconds = 0;
    std::string output; // stdout and stderr together
};

// The folder of the running test program, with a trailing backslash.
std::wstring ProgramFolder();

// The whole content of a file beside the test program; empty when it cannot be read.
std::string ReadBesideProgram(const std::wstring& name);

// Runs ProgramFolder()\program with the raw argument text and waits up to timeoutMs.
ChildResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000);

// A program running in the background, killed on destruction if still running.
class BackgroundProcess {
public:
    BackgroundProcess(const std::wstring& program, const std::wstring& arguments);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Waits for it to end; returns its output so far and exit code.
    ChildResult Wait(DWORD timeoutMs = 30000);
    // Output read so far, without waiting for the end.
    std::string OutputSoFar();
    // Waits until the output holds the text.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs = 15000);

private:
    void Drain(DWORD waitMs);

    UniqueHandle process_;
    UniqueHandle outputRead_;
    std::string output_;
    DWORD start_ = 0;
};

// Runs the program as a debuggee and collects what it sends to the debugger output.
ChildResult RunUnderDebugger(const std::wstring& program, const std::wstring& arguments,
                             std::vector<std::wstring>& debugLines, DWORD timeoutMs = 60000);
