// Pipe mode seen from this account: whether the downloader's pipe is there, whether it opens through
// Tessaline's own connection retry, who serves it against who this tool runs as, and, when asked, the
// real exchange.
#pragma once

#include <windows.h>

#include "AccountCheck.h"
#include "Report.h"

// Opens the pipe the way Tessaline does, attempts and pauses alike, and closes it again without a request
// unless `send` asks for the completion notice; then waits for the answer at most waitMs.
[[nodiscard]] Verdict CheckPipeMode(const ToolAccount& account, bool send, DWORD waitMs);
