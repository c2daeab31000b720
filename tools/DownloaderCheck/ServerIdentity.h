// Who serves a pipe, seen from a client's handle, and whether a setup of this account could use it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ServerJudgement {
    std::wstring facts;              // process, image, account, session, integrity, elevation
    bool refused = false;            // a setup of this account could not open it
    std::wstring refusal;            // why
    std::vector<std::wstring> notes; // what only Windows can tell
};

ServerJudgement JudgeServer(HANDLE clientPipe);
