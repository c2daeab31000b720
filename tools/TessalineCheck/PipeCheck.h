// Pipe mode seen from this account: whether the downloader's pipe is there, who serves it, whether it
// opens the way Tessaline opens it, and, when asked, the real exchange.
#pragma once

#include <windows.h>

#include <string>

#include "Report.h"

// Opens one connection, exactly as Tessaline does, and closes it again without a request unless `send`
// asks for the completion notice; then waits for the answer at most waitMs.
Verdict CheckPipeMode(bool send, DWORD waitMs);

// What a failed open means for a setup author, from the message Tessaline's pipe code raised.
struct OpenFailureMeaning {
    std::wstring meaning; // a sentence or two
    std::wstring reason;  // a short form for the verdict
};
OpenFailureMeaning MeaningOfOpenFailure(const std::wstring& message);
