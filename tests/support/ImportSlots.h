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

// The calls left to fail: after PassingCalls calls passed on, a stand-in fails its call while FailingCalls is
// above zero, once a call, with ERROR_NO_SYSTEM_RESOURCES, and passes the others on to the system's function.
inline std::atomic<int> PassingCalls{0};
inline std::atomic<int> FailingCalls{0};
inline bool FailsNow()
{
    if (PassingCalls.fetch_sub(1) > 0 || FailingCalls.fetch_sub(1) <= 0)
        return false;
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return true;
}

// The body of a stand-in: what its call answers for a failure, or the system's function's answer.
#define FAIL_OR_PASS(failed, call) return FailsNow() ? (failed) : (call)

// Stand-ins that fail as FailsNow() says, each answering what its call answers for a failure.
inline HANDLE WINAPI FailEvent(SECURITY_ATTRIBUTES* attributes, BOOL manual, BOOL set, const wchar_t* name)
{
    FAIL_OR_PASS(nullptr, SystemCreateEventW(attributes, manual, set, name));
}
inline BOOL WINAPI FailToken(HANDLE process, DWORD access, HANDLE* token)
{
    FAIL_OR_PASS(FALSE, SystemOpenProcessToken(process, access, token));
}
inline BOOL WINAPI FailCopySid(DWORD size, PSID to, PSID from) { FAIL_OR_PASS(FALSE, SystemCopySid(size, to, from)); }
inline BOOL WINAPI FailWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid, DWORD* size)
{
    FAIL_OR_PASS(FALSE, SystemCreateWellKnownSid(type, domain, sid, size));
}
inline BOOL WINAPI FailAcl(PACL acl, DWORD size, DWORD revision)
{
    FAIL_OR_PASS(FALSE, SystemInitializeAcl(acl, size, revision));
}
inline BOOL WINAPI FailLabel(PACL acl, DWORD revision, DWORD flags, DWORD policy, PSID sid)
{
    FAIL_OR_PASS(FALSE, SystemAddMandatoryAce(acl, revision, flags, policy, sid));
}
inline DWORD WINAPI FailEntries(ULONG count, EXPLICIT_ACCESS_W* entries, PACL old, PACL* made)
{
    FAIL_OR_PASS(ERROR_NO_SYSTEM_RESOURCES, SystemSetEntriesInAclW(count, entries, old, made));
}
inline BOOL WINAPI FailDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    FAIL_OR_PASS(FALSE, SystemInitializeSecurityDescriptor(descriptor, revision));
}
inline BOOL WINAPI FailDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL acl, BOOL defaulted)
{
    FAIL_OR_PASS(FALSE, SystemSetSecurityDescriptorDacl(descriptor, present, acl, defaulted));
}
inline BOOL WINAPI FailSacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL acl, BOOL defaulted)
{
    FAIL_OR_PASS(FALSE, SystemSetSecurityDescriptorSacl(descriptor, present, acl, defaulted));
}
inline LPVOID WINAPI FailHeap(HANDLE heap, DWORD flags, SIZE_T size)
{
    FAIL_OR_PASS(nullptr, SystemHeapAlloc(heap, flags, size));
}
inline HANDLE WINAPI FailInstance(const wchar_t* name, DWORD open, DWORD mode, DWORD instances, DWORD out, DWORD in,
                                  DWORD timeout, SECURITY_ATTRIBUTES* security)
{
    FAIL_OR_PASS(INVALID_HANDLE_VALUE, SystemCreateNamedPipeW(name, open, mode, instances, out, in, timeout, security));
}
inline PTP_POOL WINAPI FailPool(void* reserved) { FAIL_OR_PASS(nullptr, SystemCreateThreadpool(reserved)); }
inline PTP_CLEANUP_GROUP WINAPI FailGroup() { FAIL_OR_PASS(nullptr, SystemCreateThreadpoolCleanupGroup()); }
inline PTP_IO WINAPI FailIo(HANDLE file, PTP_WIN32_IO_CALLBACK callback, void* context,
                            PTP_CALLBACK_ENVIRON environment)
{
    FAIL_OR_PASS(nullptr, SystemCreateThreadpoolIo(file, callback, context, environment));
}
inline PTP_TIMER WINAPI FailTimer(PTP_TIMER_CALLBACK callback, void* context, PTP_CALLBACK_ENVIRON environment)
{
    FAIL_OR_PASS(nullptr, SystemCreateThreadpoolTimer(callback, context, environment));
}
inline PTP_WORK WINAPI FailWork(PTP_WORK_CALLBACK callback, void* context, PTP_CALLBACK_ENVIRON environment)
{
    FAIL_OR_PASS(nullptr, SystemCreateThreadpoolWork(callback, context, environment));
}
inline BOOL WINAPI FailTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD size,
                                        DWORD* needed)
{
    FAIL_OR_PASS(FALSE, SystemGetTokenInformation(token, kind, buffer, size, needed));
}
inline BOOL WINAPI FailSidText(PSID sid, wchar_t** text)
{
    FAIL_OR_PASS(FALSE, SystemConvertSidToStringSidW(sid, text));
}
inline BOOL WINAPI FailWrite(HANDLE file, const void* bytes, DWORD size, DWORD* written, OVERLAPPED* overlapped)
{
    FAIL_OR_PASS(FALSE, SystemWriteFile(file, bytes, size, written, overlapped));
}
