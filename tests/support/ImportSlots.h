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
extern "C" decltype(&ConnectNamedPipe) ConnectNamedPipeImport TEST_IMPORT(ConnectNamedPipe, 8);
extern "C" decltype(&CreateNamedPipeW) CreateNamedPipeWImport TEST_IMPORT(CreateNamedPipeW, 32);
extern "C" decltype(&OpenProcessToken) OpenProcessTokenImport TEST_IMPORT(OpenProcessToken, 12);
extern "C" decltype(&GetTokenInformation) GetTokenInformationImport TEST_IMPORT(GetTokenInformation, 20);
extern "C" decltype(&ConvertSidToStringSidW) ConvertSidToStringSidWImport TEST_IMPORT(ConvertSidToStringSidW, 8);
extern "C" decltype(&CreateThreadpool) CreateThreadpoolImport TEST_IMPORT(CreateThreadpool, 4);
extern "C" decltype(&CreateThreadpoolCleanupGroup)
    CreateThreadpoolCleanupGroupImport TEST_IMPORT(CreateThreadpoolCleanupGroup, 0);
extern "C" decltype(&CreateThreadpoolIo) CreateThreadpoolIoImport TEST_IMPORT(CreateThreadpoolIo, 16);
extern "C" decltype(&CreateThreadpoolTimer) CreateThreadpoolTimerImport TEST_IMPORT(CreateThreadpoolTimer, 12);
extern "C" decltype(&CreateThreadpoolWork) CreateThreadpoolWorkImport TEST_IMPORT(CreateThreadpoolWork, 12);
extern "C" decltype(&CreateEventW) CreateEventWImport TEST_IMPORT(CreateEventW, 16);
extern "C" decltype(&WriteFile) WriteFileImport TEST_IMPORT(WriteFile, 20);
extern "C" decltype(&HeapAlloc) HeapAllocImport TEST_IMPORT(HeapAlloc, 12);
extern "C" decltype(&CopySid) CopySidImport TEST_IMPORT(CopySid, 12);
extern "C" decltype(&CreateWellKnownSid) CreateWellKnownSidImport TEST_IMPORT(CreateWellKnownSid, 16);
extern "C" decltype(&InitializeAcl) InitializeAclImport TEST_IMPORT(InitializeAcl, 12);
extern "C" decltype(&AddMandatoryAce) AddMandatoryAceImport TEST_IMPORT(AddMandatoryAce, 20);
extern "C" decltype(&SetEntriesInAclW) SetEntriesInAclWImport TEST_IMPORT(SetEntriesInAclW, 16);
extern "C" decltype(&InitializeSecurityDescriptor)
    InitializeSecurityDescriptorImport TEST_IMPORT(InitializeSecurityDescriptor, 8);
extern "C" decltype(&SetSecurityDescriptorDacl) SetSecurityDescriptorDaclImport TEST_IMPORT(SetSecurityDescriptorDacl,
                                                                                            16);
extern "C" decltype(&SetSecurityDescriptorSacl) SetSecurityDescriptorSaclImport TEST_IMPORT(SetSecurityDescriptorSacl,
                                                                                            16);

// The system's functions, as the slots held them at the start.
inline const auto SystemConnectNamedPipe = ConnectNamedPipeImport;
inline const auto SystemCreateNamedPipeW = CreateNamedPipeWImport;
inline const auto SystemOpenProcessToken = OpenProcessTokenImport;
inline const auto SystemGetTokenInformation = GetTokenInformationImport;
inline const auto SystemConvertSidToStringSidW = ConvertSidToStringSidWImport;
inline const auto SystemCreateThreadpool = CreateThreadpoolImport;
inline const auto SystemCreateThreadpoolCleanupGroup = CreateThreadpoolCleanupGroupImport;
inline const auto SystemCreateThreadpoolIo = CreateThreadpoolIoImport;
inline const auto SystemCreateThreadpoolTimer = CreateThreadpoolTimerImport;
inline const auto SystemCreateThreadpoolWork = CreateThreadpoolWorkImport;
inline const auto SystemCreateEventW = CreateEventWImport;
inline const auto SystemWriteFile = WriteFileImport;
inline const auto SystemHeapAlloc = HeapAllocImport;
inline const auto SystemCopySid = CopySidImport;
inline const auto SystemCreateWellKnownSid = CreateWellKnownSidImport;
inline const auto SystemInitializeAcl = InitializeAclImport;
inline const auto SystemAddMandatoryAce = AddMandatoryAceImport;
inline const auto SystemSetEntriesInAclW = SetEntriesInAclWImport;
inline const auto SystemInitializeSecurityDescriptor = InitializeSecurityDescriptorImport;
inline const auto SystemSetSecurityDescriptorDacl = SetSecurityDescriptorDaclImport;
inline const auto SystemSetSecurityDescriptorSacl = SetSecurityDescriptorSaclImport;

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

// The calls left to fail: a stand-in fails its call while this is above zero, once a call, with
// ERROR_NO_SYSTEM_RESOURCES, and passes the others on to the system's function.
inline std::atomic<int> FailingCalls{0};
inline bool FailsNow()
{
    if (FailingCalls.fetch_sub(1) <= 0)
        return false;
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
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
#define FAILING(function, failed) (&StandIn<decltype(&function)>::Failing<&System##function, failed>)

inline const auto FailInstance = FAILING(CreateNamedPipeW, -1);
inline const auto FailToken = FAILING(OpenProcessToken, 0);
inline const auto FailTokenInformation = FAILING(GetTokenInformation, 0);
inline const auto FailSidText = FAILING(ConvertSidToStringSidW, 0);
inline const auto FailPool = FAILING(CreateThreadpool, 0);
inline const auto FailGroup = FAILING(CreateThreadpoolCleanupGroup, 0);
inline const auto FailIo = FAILING(CreateThreadpoolIo, 0);
inline const auto FailTimer = FAILING(CreateThreadpoolTimer, 0);
inline const auto FailWork = FAILING(CreateThreadpoolWork, 0);
inline const auto FailEvent = FAILING(CreateEventW, 0);
inline const auto FailWrite = FAILING(WriteFile, 0);
inline const auto FailHeap = FAILING(HeapAlloc, 0);
inline const auto FailCopySid = FAILING(CopySid, 0);
inline const auto FailWellKnownSid = FAILING(CreateWellKnownSid, 0);
inline const auto FailAcl = FAILING(InitializeAcl, 0);
inline const auto FailLabel = FAILING(AddMandatoryAce, 0);
inline const auto FailEntries = FAILING(SetEntriesInAclW, ERROR_NO_SYSTEM_RESOURCES);
inline const auto FailDescriptor = FAILING(InitializeSecurityDescriptor, 0);
inline const auto FailDacl = FAILING(SetSecurityDescriptorDacl, 0);
inline const auto FailSacl = FAILING(SetSecurityDescriptorSacl, 0);
