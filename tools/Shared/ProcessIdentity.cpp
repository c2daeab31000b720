#include "ProcessIdentity.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <memory>
#include <vector>

#include "ErrorText.h"
#include "Handles.h"
#include "Text.h"

namespace {

// The token's information of one class, in a block aligned for the structure it holds; empty on failure.
std::vector<ULONGLONG> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, DWORD& error)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<ULONGLONG> block((size + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
    if (block.empty() || !GetTokenInformation(token, kind, block.data(), size, &size)) {
        error = GetLastError();
        block.clear();
    }
    return block;
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return std::wstring();
    const LocalPtr<wchar_t> owner(text);
    return text;
}

std::wstring AccountName(PSID sid)
{
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLength = ARRAYSIZE(name);
    DWORD domainLength = ARRAYSIZE(domain);
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
        return std::wstring();
    return domainLength > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

Integrity IntegrityOfRid(DWORD rid)
{
    if (rid >= SECURITY_MANDATORY_PROTECTED_PROCESS_RID)
        return Integrity::Protected;
    if (rid >= SECURITY_MANDATORY_SYSTEM_RID)
        return Integrity::System;
    if (rid >= SECURITY_MANDATORY_HIGH_RID)
        return Integrity::High;
    if (rid > SECURITY_MANDATORY_MEDIUM_RID)
        return Integrity::MediumPlus;
    if (rid == SECURITY_MANDATORY_MEDIUM_RID)
        return Integrity::Medium;
    if (rid >= SECURITY_MANDATORY_LOW_RID)
        return Integrity::Low;
    return Integrity::Untrusted;
}

} // namespace

Identity IdentityOfToken(HANDLE token)
{
    Identity identity;
    const std::vector<ULONGLONG> user = TokenInformation(token, TokenUser, identity.error);
    if (user.empty())
        return identity;
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    identity.sid = SidText(sid);
    identity.name = AccountName(sid);
    identity.system = IsWellKnownSid(sid, WinLocalSystemSid) != FALSE;

    DWORD ignored = ERROR_SUCCESS;
    const std::vector<ULONGLONG> label = TokenInformation(token, TokenIntegrityLevel, ignored);
    if (!label.empty()) {
        const PSID labelSid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
        const UCHAR count = *GetSidSubAuthorityCount(labelSid);
        if (count > 0)
            identity.integrity = IntegrityOfRid(*GetSidSubAuthority(labelSid, count - 1u));
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    identity.elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                        elevation.TokenIsElevated != 0;
    DWORD session = 0;
    if (GetTokenInformation(token, TokenSessionId, &session, sizeof session, &size))
        identity.session = session;
    return identity;
}

Identity OwnIdentity()
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
        Identity identity;
        identity.error = GetLastError();
        return identity;
    }
    return IdentityOfToken(token.get());
}

ProcessFacts FactsOfProcess(DWORD processId)
{
    ProcessFacts facts;
    facts.id = processId;
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        facts.imageError = GetLastError();
        facts.identity.error = facts.imageError;
        return facts;
    }
    std::vector<wchar_t> image(32768);
    DWORD length = static_cast<DWORD>(image.size());
    if (QueryFullProcessImageNameW(process.get(), 0, image.data(), &length))
        facts.image.assign(image.data(), length);
    else
        facts.imageError = GetLastError();
    UniqueHandle token;
    if (OpenProcessToken(process.get(), TOKEN_QUERY, token.receive()))
        facts.identity = IdentityOfToken(token.get());
    else
        facts.identity.error = GetLastError();
    return facts;
}

ServerFacts ServerOfPipe(HANDLE clientEnd)
{
    ServerFacts server;
    ULONG processId = 0;
    if (GetNamedPipeServerProcessId(clientEnd, &processId))
        server.process = FactsOfProcess(processId);
    else
        server.processError = GetLastError();
    ULONG session = 0;
    if (GetNamedPipeServerSessionId(clientEnd, &session))
        server.session = session;
    return server;
}

std::wstring SessionUser()
{
    const auto query = [](WTS_INFO_CLASS kind) {
        wchar_t* text = nullptr;
        DWORD bytes = 0;
        if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, kind, &text, &bytes))
            return std::wstring();
        const std::unique_ptr<wchar_t, decltype(&WTSFreeMemory)> owner(text, WTSFreeMemory);
        return std::wstring(text);
    };
    const std::wstring user = query(WTSUserName);
    if (user.empty())
        return user;
    const std::wstring domain = query(WTSDomainName);
    return domain.empty() ? user : domain + L"\\" + user;
}

bool IsSessionUser(const std::wstring& sessionUser, const std::wstring& accountName)
{
    const std::size_t slash = accountName.find(L'\\');
    const std::wstring account = sessionUser.find(L'\\') == std::wstring::npos && slash != std::wstring::npos
                                     ? accountName.substr(slash + 1)
                                     : accountName;
    return CompareStringOrdinal(sessionUser.c_str(), -1, account.c_str(), -1, TRUE) == CSTR_EQUAL;
}

const wchar_t* IntegrityName(Integrity level)
{
    static const wchar_t* const kNames[] = {L"unknown",     L"untrusted", L"low",    L"medium",
                                            L"medium plus", L"high",      L"system", L"protected"};
    return kNames[static_cast<int>(level)];
}

std::wstring DescribeIdentity(const Identity& identity)
{
    if (!identity.Known())
        return L"not visible to this account (" + ErrorText(identity.error) + L")";
    std::wstring text =
        (identity.name.empty() ? L"an account without a name here" : identity.name) + L" (" + identity.sid + L")";
    if (identity.session)
        text += L", session " + Decimal(*identity.session);
    if (identity.integrity != Integrity::Unknown)
        text += L", " + std::wstring(IntegrityName(identity.integrity)) + L" integrity";
    if (identity.system)
        text += L", LocalSystem";
    else
        text += identity.elevated ? L", elevated" : L", not elevated";
    return text;
}

std::wstring DescribeServer(const ServerFacts& server)
{
    if (server.processError != ERROR_SUCCESS)
        return L"a process the pipe does not name to this account (" + ErrorText(server.processError) + L")";
    std::wstring text = L"process " + Decimal(server.process.id) + L", " +
                        (server.process.image.empty()
                             ? L"image not visible to this account (" + ErrorText(server.process.imageError) + L")"
                             : server.process.image);
    if (server.session)
        text += L", session " + Decimal(*server.session);
    return text;
}

bool AboveASetup(const Identity& identity)
{
    return identity.Known() && (identity.elevated || identity.system || identity.integrity > Integrity::Medium);
}
