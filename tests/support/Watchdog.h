// A time limit for every test: a wait or a read that never ends fails its test within seconds and
// ends the test program, instead of holding the whole run until CTest's time-out.
#pragma once

// The current test's limit, for the few that take longer by design; each test starts with the default.
void SetTestTimeLimit(unsigned seconds);

// Registers the watchdog with GoogleTest; the test program's main calls it.
void InstallWatchdog();
