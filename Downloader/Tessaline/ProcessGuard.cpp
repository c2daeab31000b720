// Keeps a silent install silent: no DLL planting, no error dialogs or reports, and E_FAIL with one line
// for a debugger instead of a crash. Part of the program's image, not of the code the tests link: it
// replaces the runtime's last resorts for the whole image and sets itself up before the program's own
// static objects, so there is nothing to call.
#include <windows.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "../CoverageCounts.h"
#include "../Handles.h"
#include "DebugTrace.h"
#include "SystemFunction.h"

namespace {

// The one way out once the process is known to be broken: no DLL's detach code and none of the
// runtime's exit handlers run in that state, as ExitProcess would have them do.
[[noreturn]] void EndWithFailure() noexcept
{
    WriteCoverageCounts();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(E_FAIL));
    // TerminateProcess does not return for the calling process.
    std::_Exit(static_cast<int>(E_FAIL));
}

// An exception that no handler took. Nothing here allocates: the escape may be a bad_alloc.
[[noreturn]] void EndWithUncaughtException()
{
    // With one, the terminate handler runs inside the escaped exception's catch, where it can be rethrown.
    if (std::current_exception() == nullptr)
        TraceToDebugger(L"terminated without an exception");
    else
        TraceCaughtException(L"terminated by an unknown exception");
    EndWithFailure();
}

[[noreturn]] void EndOnAbortSignal(int)
{
    TraceToDebugger(L"aborted");
    EndWithFailure();
}

// What the runtime calls when one of its functions is given a parameter it refuses; its own answer is
// an error report that may wait on a dialog.
void __cdecl EndOnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, std::uintptr_t)
{
    TraceToDebugger(L"invalid parameter to a C runtime function");
    EndWithFailure();
}

// How long a fault's reporter thread may take to send its line.
const DWORD kReporterWaitMs = 5000;

[[noreturn]] DWORD WINAPI ReportFaultAndEnd(void* code)
{
    TraceCodeToDebugger(L"fault ", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(code)));
    EndWithFailure();
}

// A fault: no error report, just the failure code. The heap may be what is broken, so the line is built
// on the stack. After a stack overflow the little stack that is left holds the exception's dispatch,
// but not the one that sending the line raises: the line goes out from a thread with a stack of its own.
LONG WINAPI EndOnFault(EXCEPTION_POINTERS* info)
{
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_STACK_OVERFLOW)
        ReportFaultAndEnd(reinterpret_cast<void*>(static_cast<std::uintptr_t>(code)));
    const UniqueHandle reporter(CreateThread(nullptr, 0, ReportFaultAndEnd,
                                             reinterpret_cast<void*>(static_cast<std::uintptr_t>(code)), 0, nullptr));
    // Bounded: the new thread may wait for a lock that the broken one holds.
    if (reporter)
        WaitForSingleObject(reporter.get(), kReporterWaitMs);
    EndWithFailure();
}

// Room that Windows keeps below the guard page for a stack overflow's dispatch and the fault filter.
const ULONG kStackGuaranteeBytes = 16 * 1024;

void RestrictDllSearchToSystem()
{
    const auto setDefaultDllDirectories =
        SystemFunction<BOOL(WINAPI*)(DWORD)>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    // Without it (Vista, Windows 7 before KB2533623) the current folder at least leaves the search.
    SetDllDirectoryW(L"");
}

// The system's msvcrt has the handler from Windows Vista on; mingw-w64's import library does not.
void EndInvalidParametersWithFailure()
{
    using Handler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, std::uintptr_t);
    const auto setHandler = SystemFunction<Handler(__cdecl*)(Handler)>(L"msvcrt.dll", "_set_invalid_parameter_handler");
    if (setHandler != nullptr)
        setHandler(EndOnInvalidParameter);
}

void SetUpGuard()
{
    RestrictDllSearchToSystem();
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ULONG guarantee = kStackGuaranteeBytes;
    SetThreadStackGuarantee(&guarantee);
    SetUnhandledExceptionFilter(EndOnFault);
    EndInvalidParametersWithFailure();
    // The runtime DLL's own aborts do not come through the abort() below. Its message goes to standard
    // error rather than into a message box; it takes that handle from GetStdHandle, which is let go
    // first, so the message reaches nobody (the abort escape test shows it); SIGABRT then ends the run.
    // The runtime's descriptor 2 keeps the handle the process inherited, but nothing writes to it: the
    // program itself never writes there.
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
    _set_error_mode(_OUT_TO_STDERR);
    std::signal(SIGABRT, EndOnAbortSignal);
}

// Set up before every other static object of the program is constructed, so that the guard holds for
// all of the program's own code, the constructors of its process-wide objects included.
struct Guard {
    Guard() { SetUpGuard(); }
} const kGuard __attribute__((init_priority(101)));

} // namespace

// The runtime's two last resorts, replaced for the whole image rather than set up at run time: they
// hold from the first instruction, also for the runtime's own start-up checks.

// libstdc++'s default terminate handler prints to a console this program does not have, and brings in
// a demangler of some 50 KB.
void __gnu_cxx::__verbose_terminate_handler() { EndWithUncaughtException(); }

// The C runtime's abort() shows "abnormal program termination" in a message box before it raises
// SIGABRT, so a signal handler alone would come too late. The unwinder's own checks call it.
extern "C" void abort() { EndOnAbortSignal(SIGABRT); }
