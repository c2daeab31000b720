// Keeps a silent install silent: no DLL planting, no error dialogs, and E_FAIL instead of a crash.
#pragma once

// Call first thing in the entry point. An escaping exception and abort() end with E_FAIL even before
// this call: the runtime's handlers for them are replaced for the whole program.
void GuardProcess();
