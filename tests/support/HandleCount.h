// The open handles of the test process, for tests that look for leaks.
#pragma once

#include <windows.h>

// GetProcessHandleCount, or where it answers 0 (as under Wine) the handle values that are open.
DWORD HandleCount();

// How far the count may move between two readings without a leak of the code under test. Natively the
// count is the process's ("GetProcessHandleCount"), and the system's thread pool, which runs the timers and
// waits, opens and closes handles of its own as its load asks, at times of its choosing; under Wine, which
// answers 0 there, the handles are probed one by one and none appears but the code's own.
DWORD HandleTolerance();
