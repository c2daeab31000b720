// Keeps a silent install silent: no DLL planting, no error dialogs, and E_FAIL instead of a crash.
#pragma once

// Call first thing in the entry point.
void GuardProcess();

// What the guard does with an exception that nothing caught: a line for a debugger, then E_FAIL.
[[noreturn]] void EndWithFailure();
