// The open handles of the test process, for tests that look for leaks.
#pragma once

#include <windows.h>

// GetProcessHandleCount, or where it answers 0 (as under Wine) the handle values that are open.
DWORD HandleCount();
