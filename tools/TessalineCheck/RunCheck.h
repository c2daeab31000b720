// --run: runs a Tessaline.exe with the setup's command line and judges by what the run itself shows: its
// exit code, its debugger line and, in registry mode, the marker after it.
#pragma once

#include <windows.h>

#include <string>

#include "Report.h"

// `name`: the registry mode's product name, empty for the pipe mode. `look`: the verdict of the look
// before the run, whose account findings hold for the run as well.
[[nodiscard]] Verdict RunTessaline(const std::wstring& program, const std::wstring& commandLine,
                                   const std::wstring& name, DWORD limitMs, const Verdict& look);
