// Forces the ends that the process guard turns into E_FAIL, one per command line:
//   throw, throw-int        an exception leaves the entry point
//   fault, stack-overflow   a write through a null pointer; a recursion without end
//   abort, runtime-abort    abort(); the C runtime DLL's own, as the runtime's internal checks call it
//   invalid-parameter       a C runtime DLL function given a null destination
//   throw-during-start-up, runtime-abort-during-start-up
//                           the same from a static object's constructor, before the entry point
//   load-planted            loads Planted.dll, which lies beside the probe: exit code 1 if it loaded
//   error-mode, crt-error-mode, standard-error   exits with the process's error mode, the C runtime's,
//                           or 1 if standard error still leads anywhere
//   error-mode-at-start-up  exits with the error mode that a static object of another unit saw when it
//                           was constructed (StartUpRecord.cpp)
// "-without-memory": throw, bad-alloc and fault once every operator new fails, so that a guard handler
// that allocates would end with the runtime's abort instead.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "SystemFunction.h"
#include "WException.h"

// What the static object of another unit saw (StartUpRecord.cpp).
extern DWORD ErrorModeAtStartUp;

namespace {

volatile bool MemoryGone = false;
volatile unsigned Bottomless = ~0u;

[[noreturn]] void Fault()
{
    // A volatile pointer: the compiler cannot see the null and replace the write with a trap of its own.
    volatile int* volatile nowhere = nullptr;
    // The null write is this probe's purpose: it raises the access violation that the guard must catch.
    // cppcheck-suppress nullPointer
    *nowhere = 1;
    std::abort();
}

// Not a tail call, with a frame the compiler cannot fold away; the stack ends long before the depth.
// Small frames: Wine keeps no room below its guard page (it ignores the stack guarantee), so a frame
// landing deep in that page leaves none for the exception's dispatch, and Wine ends the process with 0.
unsigned Recurse(unsigned depth)
{
    if (depth == Bottomless)
        return 0;
    volatile char frame[48];
    frame[depth % sizeof frame] = static_cast<char>(depth);
    return Recurse(depth + 1) + static_cast<unsigned>(frame[depth % sizeof frame]);
}

[[noreturn]] void RuntimeAbort()
{
    SystemFunction<void(__cdecl*)()>(L"msvcrt.dll", "abort")();
    ExitProcess(1);
}

int InvalidParameter()
{
    const auto copy = SystemFunction<int(__cdecl*)(char*, std::size_t, const char*)>(L"msvcrt.dll", "strcpy_s");
    return copy != nullptr ? copy(nullptr, 1, "x") : 2;
}

struct MisbehavesDuringStartUp {
    MisbehavesDuringStartUp()
    {
        const wchar_t* commandLine = GetCommandLineW();
        if (std::wcsstr(commandLine, L"throw-during-start-up") != nullptr)
            throw std::runtime_error("escaped during start-up");
        if (std::wcsstr(commandLine, L"runtime-abort-during-start-up") != nullptr)
            RuntimeAbort();
    }
} StartUpObject;

} // namespace

void* operator new(std::size_t size)
{
    void* block = MemoryGone ? nullptr : std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int)
{
    const std::wstring what = lpCmdLine;
    // Left in the runtime's buffer: an end that runs the DLLs' detach code, as ExitProcess does, writes it
    // out; the guard's ends must not.
    std::fputs("flushed on the way out", stdout);
    if (what == L"throw")
        RAISE_WEXCEPTION(L"escaped on purpose");
    if (what == L"throw-int")
        throw 7;
    if (what == L"fault")
        Fault();
    if (what == L"stack-overflow")
        return static_cast<int>(Recurse(0));
    if (what == L"abort")
        std::abort();
    if (what == L"runtime-abort")
        RuntimeAbort();
    if (what == L"invalid-parameter")
        return InvalidParameter();
    if (what == L"load-planted") {
        const HMODULE planted = LoadLibraryW(L"Planted.dll");
        if (planted == nullptr)
            return 0;
        FreeLibrary(planted);
        return 1;
    }
    if (what == L"error-mode")
        return static_cast<int>(GetErrorMode());
    if (what == L"error-mode-at-start-up")
        return static_cast<int>(ErrorModeAtStartUp);
    if (what == L"crt-error-mode")
        return _set_error_mode(_REPORT_ERRMODE);
    if (what == L"standard-error")
        return GetStdHandle(STD_ERROR_HANDLE) != nullptr ? 1 : 0;
    if (what == L"throw-without-memory") {
        auto error = MAKE_WEXCEPTION(L"escaped on purpose");
        MemoryGone = true;
        // Moved into the thrown object: no allocation on the way out.
        throw std::move(error);
    }
    if (what == L"bad-alloc-without-memory") {
        MemoryGone = true;
        throw std::bad_alloc();
    }
    if (what == L"fault-without-memory") {
        MemoryGone = true;
        Fault();
    }
    return 0;
}
