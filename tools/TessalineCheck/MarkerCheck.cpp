#include "MarkerCheck.h"

#include <windows.h>

#include <vector>

#include "InstallMarker.h"
#include "ErrorText.h"
#include "InstallValue.h"
#include "RegistryKeys.h"
#include "Text.h"

namespace {

// How Tessaline's RegCreateKeyExW would fare, found without writing: a name component the registry
// refuses, or the deepest key that exists, opened with the access that creating or opening needs.
LSTATUS PredictCreation(const std::wstring& path, std::wstring& finding)
{
    std::vector<std::wstring> prefixes;
    for (std::size_t start = 0;;) {
        const std::size_t end = path.find(L'\\', start);
        const std::size_t length = (end == std::wstring::npos ? path.size() : end) - start;
        const KeyNameLimit limit = LongestKeyName();
        if (length > limit.units) {
            finding = L"refused: a name component has " + Decimal(static_cast<unsigned long>(length)) +
                      L" characters, and the registry takes " + Decimal(limit.units) + L" at most" +
                      (limit.probed ? L" here (Microsoft documents " + Decimal(kDocumentedKeyName) + L")"
                                    : std::wstring(L", as Microsoft documents"));
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
                            (whole ? L"open it with full access (" : L"create keys in it (") +
                            ErrorText(static_cast<DWORD>(status)) + L")";
        return status;
    }
    finding = L"refused: not even HKEY_CURRENT_USER\\Software opens";
    return ERROR_FILE_NOT_FOUND;
}

} // namespace

KeyNameLimit LongestKeyName()
{
    // "Registry element size limits" gives a key name 255 characters; the kernel, which decides, may take one
    // more (Wine takes 256 code units). Asked without writing: an open of HKCU\Software\NAME finds no such
    // key where NAME's length is taken, and is refused (ERROR_INVALID_PARAMETER, say) where it is not. Where
    // the open tells nothing (every length found, or none), the documented limit stands.
    static const KeyNameLimit limit = [] {
        const auto taken = [](std::size_t length) {
            LSTATUS status = ERROR_SUCCESS;
            OpenUserKey(L"Software\\" + std::wstring(length, L'~'), KEY_QUERY_VALUE, &status);
            return status == ERROR_FILE_NOT_FOUND || status == ERROR_SUCCESS;
        };
        const bool told = taken(kDocumentedKeyName) && !taken(kDocumentedKeyName + 2);
        return told && taken(kDocumentedKeyName + 1) ? KeyNameLimit{kDocumentedKeyName + 1, true}
                                                     : KeyNameLimit{kDocumentedKeyName, told};
    }();
    return limit;
}

MarkerReading ReadMarker(const std::wstring& name)
{
    LSTATUS status = ERROR_SUCCESS;
    const UniqueKey key = OpenUserKey(InstallMarkerRoot + name, KEY_QUERY_VALUE, &status);
    if (status == ERROR_FILE_NOT_FOUND)
        return {MarkerState::Absent, L"absent: there is no such key"};
    if (!key)
        return {MarkerState::Unreadable,
                L"unknown: the key does not open for reading (" + ErrorText(static_cast<DWORD>(status)) + L")"};
    const InstallValue value = ReadInstallValue(key.get());
    if (!value.Exists())
        return {MarkerState::Absent, L"absent: the key has no Install value"};
    const std::wstring described = Widen(value.Describe(), CP_UTF8);
    if (value.IsMarker())
        return {MarkerState::Present, L"present: Install = " + described};
    return {MarkerState::NotTheMarker, L"present but not the marker: Install = " + described +
                                           L", where Tessaline writes REG_SZ \"1\" (4 bytes: 31 00 00 00)"};
}

Verdict CheckRegistryMode(const std::wstring& name, const ToolAccount& account)
{
    const Identity& self = account.self;
    const std::wstring path = InstallMarkerRoot + name;
    const std::wstring who = self.name.empty() ? self.sid : self.name;
    Say(L"mode", L"registry: the first /name has the value \"" + name + L"\"");
    Say(L"key", L"HKEY_CURRENT_USER\\" + path);
    Say(L"hive", L"HKEY_CURRENT_USER of " + who + L", that is HKEY_USERS\\" + self.sid);
    const unsigned differences = RegistryModeDifferences(account);
    SayDifferences(differences, account, nullptr);

    const MarkerReading marker = ReadMarker(name);
    Say(L"marker", marker.text);
    std::wstring finding;
    const LSTATUS status = PredictCreation(path, finding);
    Say(L"can Tessaline write it", finding);
    if (status != ERROR_SUCCESS)
        return WouldNotReport(L"the registry refuses the key, and it ends with E_FAIL (error " +
                                  Decimal(static_cast<DWORD>(status)) + L")",
                              differences);
    if (marker.state == MarkerState::Present)
        return Reported(L"completion is recorded for " + who +
                            L": the marker is there, and Tessaline would write it again",
                        differences);
    if (marker.state == MarkerState::NotTheMarker)
        return Reported(L"Tessaline would record completion for " + who +
                            L": it replaces the Install value, which is not the marker now",
                        differences);
    return Reported(L"Tessaline would record completion for " + who + L": it can create the key", differences);
}
