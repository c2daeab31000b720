// The open handles of the test process, for tests that look for leaks.
#pragma once

#include <windows.h>

// GetProcessHandleCount, or where it answers 0 (as under Wine) the count of ProbeOpenHandles.
DWORD HandleCount();

// Counts the open handles by asking for each handle value in turn.
DWORD ProbeOpenHandles();
