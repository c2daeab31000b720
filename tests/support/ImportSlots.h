// Slots of this test program's imports, which the code under test calls the system through, and stand-ins to
// put in them: a test puts one of its own in a slot to make the call fail as it wants, then the system's
// function back. The slot is the program's one entry for the function, so every caller in the program meets
// the stand-in, the test's own included.
#pragma once

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <functional>
#include <type_traits>

#ifdef _WIN64
#define TEST_IMPORT(function, argumentBytes) __asm__("__imp_" #function)
#else
#define TEST_IMPORT(function, argumentBytes) __asm__("__imp__" #function "@" #argumentBytes)
#endif
// A slot (FunctionImport), and the system's function as the slot held it at the start (SystemFunction).
#define TEST_SLOT(function, argumentBytes)                                                                             \
    extern "C" decltype(&function) function##Import TEST_IMPORT(function, argumentBytes);                              \
    inline const auto System##function = function##Import
TEST_SLOT(ConnectNamedPipe, 8);
TEST_SLOT(CreateNamedPipeW, 32);
TEST_SLOT(OpenProcessToken, 12);
TEST_SLOT(GetTokenInformation, 20);
TEST_SLOT(ConvertSidToStringSidW, 8);
TEST_SLOT(CreateThreadpool, 4);
TEST_SLOT(CreateThreadpoolCleanupGroup, 0);
TEST_SLOT(CreateThreadpoolIo, 16);
TEST_SLOT(CreateThreadpoolTimer, 12);
TEST_SLOT(CreateThreadpoolWork, 12);
TEST_SLOT(CreateEventW, 16);
TEST_SLOT(WriteFile, 20);
TEST_SLOT(HeapAlloc, 12);
TEST_SLOT(CopySid, 12);
TEST_SLOT(CreateWellKnownSid, 16);
TEST_SLOT(InitializeAcl, 12);
TEST_SLOT(AddMandatoryAce, 20);
TEST_SLOT(SetEntriesInAclW, 16);
TEST_SLOT(InitializeSecurityDescriptor, 8);
TEST_SLOT(SetSecurityDescriptorDacl, 16);
TEST_SLOT(SetSecurityDescriptorSacl, 16);

template <typename Function> void SetImport(Function& slot, Function function)
{
    DWORD protection = 0;
    VirtualProtect(&slot, sizeof slot, PAGE_READWRITE, &protection);
    slot = function;
    VirtualProtect(&slot, sizeof slot, protection, &protection);
}

// Puts the stand-in in the slot (true), or the system's function, as the slot held it, back (false).
template <typename Function> std::function<void(bool)> Swapper(Function& slot, Function standIn)
{
    const Function system = slot;
    return [&slot, standIn, system](bool in) { SetImport(slot, in ? standIn : system); };
}

// The calls left to fail: a stand-in fails its call while this is above zero, once a call, with FailingError,
// and passes the others on to the system's function.
inline std::atomic<int> FailingCalls{0};
inline std::atomic<DWORD> FailingError{ERROR_NO_SYSTEM_RESOURCES};
inline bool FailsNow()
{
    if (FailingCalls.fetch_sub(1) <= 0)
        return false;
    SetLastError(FailingError);
    return true;
}

// A stand-in for the system's function *System that fails its call as FailsNow() says, answering `Failed`
// (what the call answers for a failure, as a number: 0 for FALSE and for no handle, -1 for
// INVALID_HANDLE_VALUE), and passes every other call on to the system's function.
template <typename Function> struct StandIn;
template <typename Result, typename... Arguments> struct StandIn<Result(WINAPI*)(Arguments...)> {
    template <Result(WINAPI* const* System)(Arguments...), LONG_PTR Failed>
    static Result WINAPI Failing(Arguments... arguments)
    {
        if (!FailsNow())
            return (*System)(arguments...);
        if constexpr (std::is_pointer_v<Result>)
            return reinterpret_cast<Result>(Failed);
        else
            return static_cast<Result>(Failed);
    }
};
// The swap (Swapper) of a slot's function for a stand-in that fails as FailsNow() says.
#define FAILING_SLOT(function, failed)                                                                                 \
    Swapper(function##Import, &StandIn<decltype(&function)>::Failing<&System##function, failed>)

// What the action returns while the swap's stand-in is in its slot, FailingCalls at 1.
template <typename Action> auto WithFailing(const std::function<void(bool)>& swap, Action action)
{
    FailingCalls = 1;
    swap(true);
    const auto result = action();
    swap(false);
    FailingCalls = 0;
    return result;
}
