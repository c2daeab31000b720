// Keeps a silent install silent: no DLL planting, no error dialogs, and E_FAIL instead of a crash.
#pragma once

// Call first thing in the entry point.
void GuardProcess();
