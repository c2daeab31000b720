// Forces the ends that the process guard turns into E_FAIL, one per command line:
//   throw, throw-int        an exception leaves the entry point
//   fault                   a write through a null pointer
//   abort                   abort() after the guard is set up; abort-before-guard before it
//   runtime-abort           the C runtime DLL's own abort(), as the runtime's internal checks call it
//   throw-during-start-up   an exception leaves a static object's constructor, before the entry point
//   load-planted            loads Planted.dll, which lies beside the probe: exit code 1 if it loaded
//   error-mode              exits with the process's error mode
// The "-without-memory" forms of throw, bad-alloc and fault first make every operator new fail, so a
// guard handler that allocates would end with the runtime's abort instead.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "ProcessGuard.h"
#include "WException.h"

namespace {

volatile bool MemoryGone = false;

[[noreturn]] void Fault()
{
    // A volatile pointer: the compiler cannot see the null and replace the write with a trap of its own.
    volatile int* volatile nowhere = nullptr;
    // The null write is this probe's purpose: it raises the access violation that the guard must catch.
    // cppcheck-suppress nullPointer
    *nowhere = 1;
    std::abort();
}

[[noreturn]] void RuntimeAbort()
{
    using AbortFn = void(__cdecl*)();
    const auto runtimeAbort = reinterpret_cast<AbortFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "abort")));
    runtimeAbort();
    ExitProcess(1);
}

struct ThrowsDuringStartUp {
    ThrowsDuringStartUp()
    {
        if (std::wcsstr(GetCommandLineW(), L"throw-during-start-up") != nullptr)
            throw std::runtime_error("escaped during start-up");
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
    if (what == L"abort-before-guard")
        std::abort();
    GuardProcess();
    if (what == L"throw")
        RAISE_WEXCEPTION(L"escaped on purpose");
    if (what == L"throw-int")
        throw 7;
    if (what == L"fault")
        Fault();
    if (what == L"abort")
        std::abort();
    if (what == L"runtime-abort")
        RuntimeAbort();
    if (what == L"load-planted") {
        const HMODULE planted = LoadLibraryW(L"Planted.dll");
        if (planted == nullptr)
            return 0;
        FreeLibrary(planted);
        return 1;
    }
    if (what == L"error-mode")
        return static_cast<int>(GetErrorMode());
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
