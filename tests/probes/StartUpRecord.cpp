// A static object of a unit of its own, linked where the runtime would construct it before the process
// guard if the guard's priority did not put the guard first: what it sees of the process at its
// construction is what the program's own static objects see.
#include <windows.h>

extern DWORD ErrorModeAtStartUp;

DWORD ErrorModeAtStartUp = 0;

namespace {

struct RecordsStartUp {
    RecordsStartUp() { ErrorModeAtStartUp = GetErrorMode(); }
} StartUpRecord;

} // namespace
