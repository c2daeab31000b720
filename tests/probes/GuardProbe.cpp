// Forces the escapes that the process guard turns into E_FAIL: "throw" lets an exception leave
// the entry point, "fault" writes through a null pointer. The "-without-memory" forms first make every
// operator new fail, so a guard handler that allocates would end with the runtime's abort instead.
#include <windows.h>

#include <cstdlib>
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
    volatile int* nowhere = nullptr;
    // The null write is this probe's purpose: it raises the access violation that the guard must catch.
    // cppcheck-suppress nullPointer
    *nowhere = 1;
    std::abort();
}

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
    GuardProcess();
    const std::wstring what = lpCmdLine;
    if (what == L"throw")
        RAISE_WEXCEPTION(L"escaped on purpose");
    if (what == L"throw-int")
        throw 7;
    if (what == L"fault")
        Fault();
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
