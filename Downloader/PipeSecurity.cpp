#include "PipeSecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include "WException.h"

namespace IPC {

std::wstring GrantSid;

std::wstring AppContainerPipeName(const std::wstring& name) { return name + L"_EPM"; }

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

// The label of the "_EPM" instance. An object without one counts as medium integrity with no-write-up,
// which refuses a write open from a low-integrity client, and every process inside an AppContainer runs
// at low integrity ("Mandatory Integrity Control" and "Implementing an AppContainer" in Microsoft's
// documentation). Wine keeps the label but enforces no integrity levels: only Windows shows the
// difference.
std::unique_ptr<unsigned char[]> LowIntegrityLabel()
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (!CreateWellKnownSid(WinLowLabelSid, nullptr, sid, &sidSize))
        return nullptr;
    const DWORD size = sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    std::unique_ptr<unsigned char[]> label(new unsigned char[size]);
    if (!InitializeAcl(reinterpret_cast<PACL>(label.get()), size, ACL_REVISION) ||
        !AddMandatoryAce(reinterpret_cast<PACL>(label.get()), ACL_REVISION, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, sid))
        return nullptr;
    return label;
}

} // namespace

PipeSecurity build_pipe_descriptor(PSID logonSid) { return build_pipe_descriptor(logonSid, GrantSid); }

PipeSecurity build_pipe_descriptor(PSID logonSid, const std::wstring& grantSidText)
{
    PSID converted = nullptr;
    if (!ConvertStringSidToSidW(grantSidText.c_str(), &converted))
        return PipeSecurity();
    LocalPtr<void> grantSid(converted);

    EXPLICIT_ACCESS_W entries[2] = {FullAccessFor(logonSid, TRUSTEE_IS_USER),
                                    FullAccessFor(grantSid.get(), TRUSTEE_IS_GROUP)};
    PACL newAcl = nullptr;
    if (SetEntriesInAclW(2, entries, nullptr, &newAcl) != ERROR_SUCCESS)
        return PipeSecurity();
    LocalPtr<ACL> acl(newAcl);
    std::unique_ptr<unsigned char[]> label = LowIntegrityLabel();
    if (!label)
        return PipeSecurity();

    std::unique_ptr<unsigned char[]> descriptor(new unsigned char[SECURITY_DESCRIPTOR_MIN_LENGTH]);
    if (!InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION))
        return PipeSecurity();
    if (!SetSecurityDescriptorDacl(descriptor.get(), TRUE, acl.get(), FALSE))
        return PipeSecurity();
    if (!SetSecurityDescriptorSacl(descriptor.get(), TRUE, reinterpret_cast<PACL>(label.get()), FALSE))
        return PipeSecurity();
    return PipeSecurity(std::move(descriptor), std::move(acl), std::move(grantSid), std::move(label));
}

PipeSecurity make_pipe_security() { return make_pipe_security(GrantSid); }

PipeSecurity make_pipe_security(const std::wstring& grantSid)
{
    UniqueHandle token;
    // Not tested here: a token that did not open makes get_logon_sid raise.
    OpenProcessToken(GetCurrentProcess(), TOKEN_READ, token.receive());
    const std::unique_ptr<unsigned char[]> logonSid = get_logon_sid(token.get());
    return build_pipe_descriptor(logonSid.get(), grantSid);
}

} // namespace IPC
