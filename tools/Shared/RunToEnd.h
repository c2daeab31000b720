// Runs a program as a child and waits for its end, for the tools that report a full exit code (a
// Linux exit status under Wine keeps only its low 8 bits).
#pragma once

#include <windows.h>

#include <string>

struct FinishedRun {
    bool started = false;
    DWORD startError = ERROR_SUCCESS; // CreateProcessW's, when it did not start
    DWORD processId = 0;
    bool ended = false; // false: still running at the limit, and ended by the caller's request
    DWORD exitCode = 0;
    DWORD milliseconds = 0;
};

// The program with the raw argument text, the way a setup passes it. A run still going at the limit is
// terminated, with the exit code 1.
FinishedRun RunToEnd(const std::wstring& program, const std::wstring& arguments, DWORD limitMs = INFINITE);

// "S_OK", "E_FAIL", or "unexpected": what an exit code means for Tessaline.
const char* ExitCodeMeaning(DWORD code);
