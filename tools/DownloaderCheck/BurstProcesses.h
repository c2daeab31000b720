// The burst of checks 5.1 and 5.2 as setups make one: clients of several processes at once, each
// process a copy of this tool, started in a mode of its own, that opens its share of the clients.
#pragma once

#include <windows.h>

#include <string>

struct CheckTarget;

struct BurstTally {
    unsigned answered = 0; // with a Boolean
    unsigned missing = 0;  // attempts that met no instance at all (error 2)
    unsigned dropped = 0;  // connected, and closed without an answer, at the connect or later
    unsigned timedOut = 0; // connected, and not answered within the time
    unsigned processes = 0;
    unsigned mostPerProcess = 0;      // the largest share of one process
    unsigned processesAnswered = 0;   // processes with at least one client answered
    DWORD startError = ERROR_SUCCESS; // why the processes could not be started or did not report
};

// The burst of target.burst clients, spread over up to 16 processes, all let go at once.
BurstTally RunBurstProcesses(const CheckTarget& target);

// The mode a process of the burst runs in: `clients` clients, let go by the event that `tag` names; its
// exit code is its tally.
int RunBurstChild(const CheckTarget& target, const std::wstring& tag, unsigned clients);
