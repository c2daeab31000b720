#include "MarkerCheck.h"

#include <windows.h>

#include <vector>

#include "InstallMarker.h"
#include "InstallValue.h"
#include "RegistryKeys.h"
#include "Text.h"

namespace {

// The registry refuses a key name longer than this.
const std::size_t kLongestKeyName = 255;

std::wstring ErrorText(LSTATUS status)
{
    const std::wstring system = SystemMessage(static_cast<DWORD>(status));
    return L"error " + Decimal(static_cast<unsigned long>(status)) + (system.empty() ? L"" : L": " + system);
}

bool SameUser(const std::wstring& sessionUser, const std::wstring& account)
{
    // The session may name the user without a domain.
    const std::wstring user = sessionUser.find(L'\\') == std::wstring::npos && account.find(L'\\') != std::wstring::npos
                                  ? account.substr(account.find(L'\\') + 1)
                                  : account;
    return CompareStringOrdinal(sessionUser.c_str(), -1, user.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// How Tessaline's RegCreateKeyExW would fare, found without writing: a name component the registry
// refuses, or the deepest key that exists, opened with the access that creating or opening needs.
LSTATUS PredictCreation(const std::wstring& path, std::wstring& finding)
{
    std::vector<std::wstring> prefixes;
    for (std::size_t start = 0;;) {
        const std::size_t end = path.find(L'\\', start);
        const std::size_t length = (end == std::wstring::npos ? path.size() : end) - start;
        if (length > kLongestKeyName) {
            finding = L"refused: a name component has " + Decimal(static_cast<unsigned long>(length)) +
                      L" characters, and the registry takes " + Decimal(kLongestKeyName) + L" at most";
            return ERROR_INVALID_PARAMETER;
        }
        prefixes.push_back(path.substr(0, end));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    for (auto prefix = prefixes.rbegin(); prefix != prefixes.rend(); ++prefix) {
        const bool whole = prefix == prefixes.rbegin();
        LSTATUS status = ERROR_SUCCESS;
        OpenUserKey(*prefix, whole ? KEY_ALL_ACCESS : KEY_CREATE_SUB_KEY, &status);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        const std::wstring what =
            whole ? L"the key exists" : L"the deepest key that exists is HKEY_CURRENT_USER\\" + *prefix;
        finding = status == ERROR_SUCCESS
                      ? what + (whole ? L", and opens with full access" : L", and lets this account create keys in it")
                      : L"refused: " + what + L", but it does not let this account " +
                            (whole ? L"open it with full access (" : L"create keys in it (") + ErrorText(status) + L")";
        return status;
    }
    finding = L"refused: not even HKEY_CURRENT_USER\\Software opens";
    return ERROR_FILE_NOT_FOUND;
}

} // namespace

MarkerReading ReadMarker(const std::wstring& name)
{
    LSTATUS status = ERROR_SUCCESS;
    const UniqueKey key = OpenUserKey(InstallMarkerRoot + name, KEY_QUERY_VALUE, &status);
    if (status == ERROR_FILE_NOT_FOUND)
        return {MarkerState::Absent, L"absent: there is no such key"};
    if (!key)
        return {MarkerState::Unreadable, L"unknown: the key does not open for reading (" + ErrorText(status) + L")"};
    const InstallValue value = ReadInstallValue(key.get());
    if (!value.Exists())
        return {MarkerState::Absent, L"absent: the key has no Install value"};
    const std::wstring described = Widen(value.Describe(), CP_UTF8);
    if (value.IsMarker())
        return {MarkerState::Present, L"present: Install = " + described};
    return {MarkerState::NotTheMarker,
            L"present but not the marker: Install = " + described + L", where Tessaline writes REG_SZ \"1\""};
}

Verdict CheckRegistryMode(const std::wstring& name, const Account& self)
{
    const std::wstring path = InstallMarkerRoot + name;
    Say(L"mode", L"registry: the first /name has the value \"" + name + L"\"");
    Say(L"key", L"HKEY_CURRENT_USER\\" + path);
    Say(L"hive",
        L"HKEY_CURRENT_USER of " + (self.name.empty() ? self.sid : self.name) + L", that is HKEY_USERS\\" + self.sid);

    const std::wstring sessionUser = SessionUser();
    const bool sessionDiffers = !sessionUser.empty() && !self.name.empty() && !SameUser(sessionUser, self.name);
    if (!sessionUser.empty())
        Say(L"session's user", sessionUser + (sessionDiffers ? L", not the account this tool runs as" : L""));
    // Wine gives every process an elevated administrator's token, so there the warning always shows.
    if (self.system)
        Say(L"warning", L"this tool runs as LocalSystem, whose HKCU is its own (HKEY_USERS\\S-1-5-18) and no user's: a "
                        L"setup run as SYSTEM (a deployment tool, a WiX action with Impersonate=\"no\") writes the "
                        L"marker there, and the product, running as the user, never sees it");
    else if (self.elevated)
        Say(L"warning", L"this tool runs elevated: HKCU is the hive of " + self.name +
                            L", which is the product user's only if that user elevated with their own account; with "
                            L"another administrator's password (over-the-shoulder elevation) the marker goes to that "
                            L"administrator's hive");
    if (sessionDiffers)
        Say(L"warning", L"the session's user is " + sessionUser +
                            L", so the marker of a setup run like this tool goes "
                            L"to another hive than that user's");

    const MarkerReading marker = ReadMarker(name);
    Say(L"marker", marker.text);
    std::wstring finding;
    const LSTATUS status = PredictCreation(path, finding);
    Say(L"can Tessaline write it", finding);
    if (status != ERROR_SUCCESS)
        return WouldNotReport(L"the registry refuses the key, and it ends with E_FAIL");

    const std::wstring who = self.name.empty() ? self.sid : self.name;
    std::wstring text;
    if (marker.state == MarkerState::Present)
        text = L"completion is recorded for " + who + L": the marker is there, and Tessaline would write it again";
    else if (marker.state == MarkerState::NotTheMarker)
        text = L"Tessaline would record completion for " + who +
               L": it replaces the Install value, which is not the marker now";
    else
        text = L"Tessaline would record completion for " + who + L": it can create the key";
    if (self.system || self.elevated || sessionDiffers)
        return {Outcome::AnotherAccount,
                text + L"; but see the warning: this may not be the hive of the user who runs the product",
                std::wstring()};
    return {Outcome::Reports, text, std::wstring()};
}
