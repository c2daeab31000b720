#include "TestSecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "TestPipes.h"

namespace {

// The information of the class, in a buffer of its size; empty when the query fails.
std::vector<unsigned char> Information(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size))
        buffer.clear();
    return buffer;
}

bool SetIntegrity(HANDLE token, WELL_KNOWN_SID_TYPE level)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(level, nullptr, sid, &size))
        return false;
    TOKEN_MANDATORY_LABEL label = {{sid, SE_GROUP_INTEGRITY}};
    return SetTokenInformation(token, TokenIntegrityLevel, &label, sizeof label + GetLengthSid(sid)) != FALSE;
}

} // namespace

std::string SidText(PSID sid)
{
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "(invalid)";
    const LocalPtr<char> owner(text);
    return text;
}

UniqueHandle LowIntegrityCopy()
{
    UniqueHandle own;
    UniqueHandle copy;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.receive()) ||
        !DuplicateTokenEx(own.get(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_ADJUST_DEFAULT, nullptr,
                          SecurityImpersonation, TokenImpersonation, copy.receive()) ||
        !SetIntegrity(copy.get(), WinLowLabelSid))
        copy.reset();
    return copy;
}

UnelevatedTwin MakeUnelevatedTwin()
{
    UnelevatedTwin twin;
    UniqueHandle own;
    // The twin's handle has the access of this one ("CreateRestrictedToken function", NewTokenHandle), and its
    // integrity level is set through it, which needs TOKEN_ADJUST_DEFAULT ("SetTokenInformation function").
    const DWORD access = TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT;
    if (!OpenProcessToken(GetCurrentProcess(), access, own.receive())) {
        twin.why = "this process's token does not open (error " + std::to_string(GetLastError()) + ")";
        return twin;
    }
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    GetTokenInformation(own.get(), TokenElevationType, &type, sizeof type, &size);
    if (type == TokenElevationTypeLimited) {
        twin.why = "this test runs unelevated: start it elevated to see an elevated downloader refuse a setup";
        return twin;
    }
    TOKEN_LINKED_TOKEN linked = {};
    if (type != TokenElevationTypeFull ||
        !GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof linked, &size)) {
        // GitHub's runner images leave EnableLUA at its default (on), so their administrator may well have a
        // split token and this test run there; where it is skipped, the workflow's first step shows why.
        twin.why = "this account has no split token (TokenElevationType " + std::to_string(type) +
                   ": UAC is off, or the account is no administrator's, or it runs elevated without a linked "
                   "token): no setup runs unelevated beside an elevated downloader";
        return twin;
    }
    twin.linked.reset(linked.LinkedToken);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    size = sizeof administrators;
    SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, 1, &denyOnly, 0, nullptr, 0, nullptr,
                               twin.token.receive()) ||
        !SetIntegrity(twin.token.get(), WinMediumLabelSid)) {
        twin.why = "the twin could not be made (error " + std::to_string(GetLastError()) + ")";
        twin.token.reset();
    }
    return twin;
}

std::string TokenFacts(HANDLE token)
{
    const std::vector<unsigned char> user = Information(token, TokenUser);
    const std::vector<unsigned char> level = Information(token, TokenIntegrityLevel);
    const std::vector<unsigned char> groups = Information(token, TokenGroups);
    if (user.empty() || level.empty() || groups.empty())
        return "(unreadable token, error " + std::to_string(GetLastError()) + ")";
    const PSID levelSid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(level.data())->Label.Sid;
    char integrity[16];
    wsprintfA(integrity, "0x%04lX", *GetSidSubAuthority(levelSid, *GetSidSubAuthorityCount(levelSid) - 1));
    std::string administrators = "absent";
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i)
        if (SidText(list->Groups[i].Sid) == "S-1-5-32-544")
            administrators = list->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY ? "deny-only" : "counts";
    return "user " + SidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid) + ", integrity " + integrity +
           ", Administrators " + administrators;
}

DWORD OpenError(const std::wstring& name)
{
    DWORD error = ERROR_SUCCESS;
    static_cast<void>(OpenAtOnce(name, error)); // closed again at once
    return error;
}

namespace {

// An open on a thread of its own, shared with the thread, which may outlive its caller when the open does
// not end.
struct OpenAttempt {
    std::wstring name;
    volatile LONG error = ERROR_SUCCESS;
};

DWORD WINAPI OpenOnThread(LPVOID parameter)
{
    const std::unique_ptr<std::shared_ptr<OpenAttempt>> held(static_cast<std::shared_ptr<OpenAttempt>*>(parameter));
    (*held)->error = static_cast<LONG>(OpenError((*held)->name));
    return 0;
}

} // namespace

BoundedOpen OpenErrorWithin(const std::wstring& name, DWORD milliseconds)
{
    auto attempt = new std::shared_ptr<OpenAttempt>(std::make_shared<OpenAttempt>());
    (*attempt)->name = name;
    const std::shared_ptr<OpenAttempt> mine = *attempt;
    const UniqueHandle thread(CreateThread(nullptr, 0, OpenOnThread, attempt, 0, nullptr));
    BoundedOpen result;
    if (!thread) {
        delete attempt;
        result.error = GetLastError();
        return result;
    }
    DWORD waited = WaitForSingleObject(thread.get(), milliseconds);
    if (waited == WAIT_TIMEOUT && CancelSynchronousIo(thread.get()))
        waited = WaitForSingleObject(thread.get(), 2000);
    result.error = waited == WAIT_OBJECT_0 ? static_cast<DWORD>(mine->error) : static_cast<DWORD>(ERROR_TIMEOUT);
    result.answered = waited == WAIT_OBJECT_0 && result.error != ERROR_OPERATION_ABORTED;
    return result;
}

std::string LabelOf(HANDLE object)
{
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                        &sacl, &descriptor);
    if (error != ERROR_SUCCESS)
        return "(unread, error " + std::to_string(error) + ")";
    const LocalPtr<void> owner(descriptor);
    return LabelText(sacl);
}

std::string LabelText(PACL sacl)
{
    void* ace = nullptr;
    if (sacl == nullptr || sacl->AceCount != 1 || !GetAce(sacl, 0, &ace))
        return "(not one label)";
    auto* label = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
    return SidText(&label->SidStart) + " type " + std::to_string(label->Header.AceType) + " mask " +
           std::to_string(label->Mask);
}
