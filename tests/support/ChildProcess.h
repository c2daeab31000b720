// Launching the project's programs as child processes, with their full exit codes, their output and
// what they send to a debugger's output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "ProgramFolder.h"
#include "QuoteArgument.h"
#include "Watchdog.h"
#include "Wine.h"

// E_FAIL as a process exit code.
const DWORD kFail = 0x80004005;

struct ChildResult {
    DWORD exitCode = 0;
    bool finished = false; // false: still running at the time-out and killed
    double seconds = 0;
    std::string output;                   // stdout and stderr together
    std::vector<std::wstring> debugLines; // sent with OutputDebugString
};

// A program from ProgramFolder() running in the background, with the raw argument text, and with the
// token when one is given (a primary token: another account, or this one without elevation). It runs in
// a job that ends it with the test program, however that ends; it is killed on destruction if still
// running. It starts with the system's default error mode, not the test program's.
class BackgroundProcess {
public:
    BackgroundProcess(const std::wstring& program, const std::wstring& arguments, HANDLE token = nullptr);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Waits for it to end (killing it after the time-out) and returns what it did.
    [[nodiscard]] ChildResult Wait(DWORD timeoutMs = InnerLimitMs());
    // Waits until its output holds the text; false at the time-out, or as soon as it has ended without.
    [[nodiscard]] bool WaitForOutput(const std::string& text, DWORD timeoutMs = InnerLimitMs());
    // For asking the system about the process.
    HANDLE Handle() const { return process_.get(); }

private:
    // Takes what the output pipe holds, without waiting.
    void Drain();
    // Kills it if it still runs, and waits until it has ended.
    void End();
    // What it sent to a debugger's output; a monitor that cannot tell they have all come fails the test.
    std::vector<std::wstring> TakeDebugLines() const;

    UniqueHandle process_;
    UniqueHandle outputRead_;
    DWORD processId_ = 0;
    std::string output_;
    DWORD start_ = 0;
    bool waited_ = false;
};

// Runs the program to its end, or for at most timeoutMs.
ChildResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = InnerLimitMs());
