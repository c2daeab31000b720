#include "Account.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <memory>
#include <vector>

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

std::wstring IntegrityName(DWORD rid)
{
    if (rid >= SECURITY_MANDATORY_PROTECTED_PROCESS_RID)
        return L"protected";
    if (rid >= SECURITY_MANDATORY_SYSTEM_RID)
        return L"system";
    if (rid >= SECURITY_MANDATORY_HIGH_RID)
        return L"high";
    if (rid > SECURITY_MANDATORY_MEDIUM_RID)
        return L"medium plus";
    if (rid == SECURITY_MANDATORY_MEDIUM_RID)
        return L"medium";
    if (rid >= SECURITY_MANDATORY_LOW_RID)
        return L"low";
    return L"untrusted";
}

} // namespace

Account AccountOfToken(HANDLE token)
{
    Account account;
    const std::vector<ULONGLONG> user = TokenInformation(token, TokenUser, account.error);
    if (user.empty())
        return account;
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    account.known = true;
    account.sid = SidText(sid);
    account.name = AccountName(sid);
    account.system = IsWellKnownSid(sid, WinLocalSystemSid) != FALSE;

    DWORD ignored = ERROR_SUCCESS;
    const std::vector<ULONGLONG> label = TokenInformation(token, TokenIntegrityLevel, ignored);
    if (!label.empty()) {
        const PSID labelSid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
        const UCHAR count = *GetSidSubAuthorityCount(labelSid);
        if (count > 0)
            account.integrity = IntegrityName(*GetSidSubAuthority(labelSid, count - 1u));
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    account.elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                       elevation.TokenIsElevated != 0;
    DWORD session = 0;
    if (GetTokenInformation(token, TokenSessionId, &session, sizeof session, &size))
        account.session = session;
    return account;
}

Account OwnAccount()
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
        Account account;
        account.error = GetLastError();
        return account;
    }
    return AccountOfToken(token.get());
}

std::wstring Account::Describe() const
{
    if (!known)
        return L"not visible to this account (error " + Decimal(error) + L")";
    std::wstring text =
        (name.empty() ? L"an account without a name here" : name) + L" (" + sid + L"), session " + Decimal(session);
    if (!integrity.empty())
        text += L", " + integrity + L" integrity";
    if (system)
        text += L", LocalSystem";
    else if (elevated)
        text += L", elevated";
    return text;
}

ProcessView ViewProcess(DWORD processId)
{
    ProcessView view;
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        view.imageError = GetLastError();
        view.account.error = view.imageError;
        return view;
    }
    std::vector<wchar_t> image(32768);
    DWORD length = static_cast<DWORD>(image.size());
    if (QueryFullProcessImageNameW(process.get(), 0, image.data(), &length))
        view.image.assign(image.data(), length);
    else
        view.imageError = GetLastError();
    UniqueHandle token;
    if (OpenProcessToken(process.get(), TOKEN_QUERY, token.receive()))
        view.account = AccountOfToken(token.get());
    else
        view.account.error = GetLastError();
    return view;
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

std::wstring SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr)
        return std::wstring();
    const LocalPtr<wchar_t> owner(text);
    return Trim(std::wstring(text, length));
}
