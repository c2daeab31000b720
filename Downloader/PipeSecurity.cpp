#include "PipeSecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include "WException.h"

namespace IPC {

std::wstring GrantSid;

// Not covered by a test: Wine 8 has no AppContainers, so there this can only answer false.
bool is_app_container()
{
    UniqueHandle token;
    const DWORD access = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT;
    if (!OpenProcessToken(GetCurrentProcess(), access, token.receive()))
        return false;

    DWORD needed = 0;
    if (GetTokenInformation(token.get(), TokenAppContainerSid, nullptr, 0, &needed))
        return false;
    // Also what systems that do not know the information class answer.
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;

    // A size that cannot hold the structure is no answer to read.
    if (needed < sizeof(TOKEN_APPCONTAINER_INFORMATION))
        return false;

    ProcessHeapPtr<TOKEN_APPCONTAINER_INFORMATION> info(
        static_cast<TOKEN_APPCONTAINER_INFORMATION*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed)));
    if (!info)
        return false;
    DWORD returned = 0;
    if (!GetTokenInformation(token.get(), TokenAppContainerSid, info.get(), needed, &returned) ||
        returned < sizeof(TOKEN_APPCONTAINER_INFORMATION))
        return false;
    return info->TokenAppContainer != nullptr;
}

std::unique_ptr<unsigned char[]> get_logon_sid(HANDLE token)
{
    DWORD length = 0;
    if (GetTokenInformation(token, TokenLogonSid, nullptr, 0, &length))
        RAISE_WEXCEPTION(L"Unexpected result from GetTokenInformation");
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        RAISE_WEXCEPTION(L"Unexpected error from GetTokenInformation");

    std::unique_ptr<unsigned char[]> groupsBuffer(new unsigned char[length]);
    if (!GetTokenInformation(token, TokenLogonSid, groupsBuffer.get(), length, &length))
        RAISE_WEXCEPTION(L"GetTokenInformation failed");

    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(groupsBuffer.get());
    if (groups->GroupCount != 1)
        RAISE_WEXCEPTION(L"Unexpected group count");

    const DWORD sidLength = GetLengthSid(groups->Groups[0].Sid);
    std::unique_ptr<unsigned char[]> sid(new unsigned char[sidLength]);
    if (!CopySid(sidLength, sid.get(), groups->Groups[0].Sid))
        RAISE_WEXCEPTION(L"CopySid failed");
    return sid;
}

namespace {

EXPLICIT_ACCESS_W FullAccessFor(PSID sid, TRUSTEE_TYPE type)
{
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = type;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return entry;
}

} // namespace

PipeSecurity build_pipe_descriptor(PSID logonSid)
{
    PSID converted = nullptr;
    if (!ConvertStringSidToSidW(GrantSid.c_str(), &converted))
        return PipeSecurity();
    LocalPtr<void> grantSid(converted);

    EXPLICIT_ACCESS_W entries[2] = {FullAccessFor(logonSid, TRUSTEE_IS_USER),
                                    FullAccessFor(grantSid.get(), TRUSTEE_IS_GROUP)};
    PACL newAcl = nullptr;
    if (SetEntriesInAclW(2, entries, nullptr, &newAcl) != ERROR_SUCCESS)
        return PipeSecurity();
    LocalPtr<ACL> acl(newAcl);

    std::unique_ptr<unsigned char[]> descriptor(new unsigned char[SECURITY_DESCRIPTOR_MIN_LENGTH]);
    if (!InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION))
        return PipeSecurity();
    if (!SetSecurityDescriptorDacl(descriptor.get(), TRUE, acl.get(), FALSE))
        return PipeSecurity();
    return PipeSecurity(std::move(descriptor), std::move(acl), std::move(grantSid));
}

PipeSecurity make_pipe_security()
{
    UniqueHandle token;
    // Not tested here: a token that did not open makes get_logon_sid raise.
    OpenProcessToken(GetCurrentProcess(), TOKEN_READ, token.receive());
    const std::unique_ptr<unsigned char[]> logonSid = get_logon_sid(token.get());
    return build_pipe_descriptor(logonSid.get());
}

} // namespace IPC
