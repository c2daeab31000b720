// Runs a program as a child and waits for its end, for the tools that report a full exit code (a
// Linux exit status under Wine keeps only its low 8 bits).
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"

struct FinishedRun {
    bool started = false;
    DWORD startError = ERROR_SUCCESS; // CreateProcessW's, when it did not start
    DWORD processId = 0;
    DWORD jobError = ERROR_SUCCESS; // why it runs outside a kill-on-close job of this process's, if it does
    bool ended = false;             // false: still running at the limit, and ended by the caller's request
    IO_COUNTERS io = {};            // its I/O so far, taken at its end or at the limit before it was ended
    DWORD exitCode = 0;
    DWORD milliseconds = 0;
};

// The program with the raw argument text, the way a setup passes it. The child runs in a job that ends
// it when this process ends, in whatever way; a run still going at the limit is terminated, with the
// exit code 1.
[[nodiscard]] FinishedRun RunToEnd(const std::wstring& program, const std::wstring& arguments,
                                   DWORD limitMs = INFINITE);

// A job that ends what runs in it when its last handle closes: with this process, however that ends.
// Empty, with the error, when it cannot be made.
UniqueHandle KillOnCloseJob(DWORD& error);

// "0x80004005 (E_FAIL, -2147467259)": the code in hex, what it means for Tessaline (S_OK, E_FAIL or
// unexpected), and as a signed number.
std::wstring ExitCodeText(DWORD code);
