#include "ProcessGuard.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <exception>

#include "DebugTrace.h"

namespace {

[[noreturn]] void EndWithFailure() { ExitProcess(static_cast<UINT>(E_FAIL)); }

// An exception that no handler took: report it to a debugger and end with E_FAIL, never with the
// runtime's abort message. Nothing here allocates: the escape may be a bad_alloc. The exception is
// looked at by rethrowing it in place, which, unlike std::rethrow_exception, needs no memory.
[[noreturn]] void EndWithUncaughtException()
{
    if (std::current_exception() == nullptr) {
        TraceToDebugger(L"terminated without an exception");
    } else {
        try {
            // There is one: the check above, and a terminate handler runs inside the escaped exception's catch.
            // cppcheck-suppress rethrowNoCurrentException
            throw;
        } catch (const wexception<std::runtime_error>& error) {
            TraceToDebugger(error);
        } catch (const std::exception& error) {
            TraceToDebugger(error);
        } catch (...) {
            TraceToDebugger(L"terminated by an unknown exception");
        }
    }
    EndWithFailure();
}

[[noreturn]] void EndOnAbortSignal(int)
{
    TraceToDebugger(L"aborted");
    EndWithFailure();
}

// A fault: no Windows Error Reporting dialog, just the failure code. The heap may be what is broken,
// so the line is built on the stack.
LONG WINAPI FailOnFault(EXCEPTION_POINTERS* info)
{
    TraceCodeToDebugger(L"fault ", static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(E_FAIL));
    return EXCEPTION_EXECUTE_HANDLER;
}

void RestrictDllSearchToSystem()
{
    // Looked up at run time so that the program still loads where the function does not exist.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr)
        return;
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != nullptr)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

// The runtime's two last resorts, replaced for the whole image rather than set up at run time: they
// hold from the first instruction, also for an escape from a static object's constructor and for the
// runtime's own start-up checks, which run before the entry point.

// libstdc++'s default terminate handler prints to a console this program does not have, and brings in
// a demangler of some 50 KB.
void __gnu_cxx::__verbose_terminate_handler() { EndWithUncaughtException(); }

// The C runtime's abort() shows "abnormal program termination" in a message box before it raises
// SIGABRT, so a signal handler alone would come too late. The unwinder's own checks call it.
extern "C" void abort() { EndOnAbortSignal(SIGABRT); }

void GuardProcess()
{
    RestrictDllSearchToSystem();
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(FailOnFault);
    // For the runtime DLL's own aborts, which do not come through the abort() above: its messages go
    // to standard error (a GUI program has none) instead of a message box, then SIGABRT ends the run.
    _set_error_mode(_OUT_TO_STDERR);
    std::signal(SIGABRT, EndOnAbortSignal);
}
