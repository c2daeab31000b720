// Who serves a pipe, seen from a client's handle, weighed against who this check runs as: whether a
// setup of this account could use the pipe, and what only Windows can tell.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ProcessIdentity.h"

struct ServerJudgement {
    std::wstring facts;              // process, image, account, session, integrity, elevation
    bool refused = false;            // a setup of this account could not open the pipe
    std::wstring refusal;            // why
    std::vector<std::wstring> notes; // what only Windows can tell
};

// `self`: who this check runs as; `epmExists`: whether the name with "_EPM" has an instance.
ServerJudgement JudgeServer(const ServerFacts& server, const Identity& self, bool epmExists);
