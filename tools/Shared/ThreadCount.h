// The threads a process has at the moment, as the system's snapshot counts them: for the figures of the
// benchmarks and the tests that hold the server loop to a few threads.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include "Handles.h"

inline int ThreadsOf(DWORD processId)
{
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int threads = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        threads += entry.th32OwnerProcessID == processId;
    return threads;
}
