// Who serves a pipe, seen from a client's handle that this check's account could open, weighed against who
// this check runs as: what only Windows can tell.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ProcessIdentity.h"

struct ServerJudgement {
    std::wstring facts;              // process, image, account, session, integrity, elevation
    std::vector<std::wstring> notes; // what only Windows can tell
};

// `self`: who this check runs as.
ServerJudgement JudgeServer(const ServerFacts& server, const Identity& self);
