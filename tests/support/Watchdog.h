// A time limit for every test: a wait or a read that never ends fails its test within seconds and
// ends the test program, instead of holding the whole run until CTest's time-out. Every wait inside a
// test takes its own limit from it, so that the wait's failure, which says what it waited for, is the
// one reported.
#pragma once

#include <windows.h>

// Milliseconds of a native machine, on this one: times TESSALINE_TIME_SCALE, which the scripts set where
// 32-bit programs run under CPU emulation (1 where it is not set).
DWORD Scaled(DWORD milliseconds);

// The current test's limit in native seconds, for the few that take longer by design; each test
// starts with the default.
void SetTestTimeLimit(unsigned seconds);

// How long a wait inside the current test may take: until a margin before the watchdog's limit.
DWORD InnerLimitMs();

// Registers the watchdog with GoogleTest; the test program's main calls it.
void InstallWatchdog();
