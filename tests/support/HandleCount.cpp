#include "HandleCount.h"

namespace {

// Counts the open handles by asking for each handle value in turn.
DWORD ProbeOpenHandles()
{
    // Handle values are table slots (multiples of 4) and freed slots are used again first, so the
    // table ends well before a long run of unused values.
    const ULONG_PTR kEndAfterUnused = 1024;
    DWORD count = 0;
    ULONG_PTR lastUsed = 0;
    for (ULONG_PTR value = 4; value - lastUsed <= kEndAfterUnused * 4; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            lastUsed = value;
        }
    }
    return count;
}

bool CountedBySystem()
{
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0;
}

} // namespace

DWORD HandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    return ProbeOpenHandles();
}

// A pool's worker thread, its timer queue's and their events: a few, and never one per step of a test.
DWORD HandleTolerance() { return CountedBySystem() ? 4 : 0; }
