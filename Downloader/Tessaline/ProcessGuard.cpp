#include "ProcessGuard.h"

#include <windows.h>

#include <exception>

#include "DebugTrace.h"

// An exception that no handler took: report it to a debugger and end with E_FAIL, never with the
// runtime's abort message. Nothing here allocates: the escape may be a bad_alloc. The exception is
// looked at by rethrowing it in place, which, unlike std::rethrow_exception, needs no memory.
void EndWithFailure()
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
    ExitProcess(static_cast<UINT>(E_FAIL));
}

namespace {

// A fault: no Windows Error Reporting dialog, just the failure code. The heap may be what is broken,
// so the line is built on the stack.
LONG WINAPI FailOnFault(EXCEPTION_POINTERS* info)
{
    TraceToDebugger(L"fault ", static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
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

void GuardProcess()
{
    RestrictDllSearchToSystem();
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(FailOnFault);
    std::set_terminate(EndWithFailure);
}
