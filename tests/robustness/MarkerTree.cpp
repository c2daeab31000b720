#include "MarkerTree.h"

#include "Robustness.h"

namespace {

void ScanInto(HKEY parent, const std::wstring& name, const std::wstring& path, MarkerScan& scan)
{
    const UniqueKey key = OpenKeyBelow(parent, name, KEY_READ);
    if (!key)
        return;
    const InstallValue install = ReadInstallValue(key.get());
    if (install.Exists()) {
        scan.installKeys.push_back(path);
        if (!install.IsMarker())
            scan.malformed.push_back(path);
    }
    for (const std::wstring& child : SubkeysOfKey(key.get()))
        ScanInto(key.get(), child, path + L"\\" + child, scan);
}

// The direct subkeys of HKCU\path (the root itself for an empty path); empty when it does not exist.
std::set<std::wstring> SubkeysOf(const std::wstring& path)
{
    return SubkeysOfKey(path.empty() ? HKEY_CURRENT_USER : OpenUserKey(path).get());
}

} // namespace

const wchar_t kMarkerRoot[] = L"Software\\Tessaline";

RegistryFootprint RegistryFootprint::Take()
{
    RegistryFootprint footprint;
    footprint.rootKeys = SubkeysOf(L"");
    footprint.softwareKeys = SubkeysOf(L"Software");
    footprint.markerKeys = SubkeysOf(kMarkerRoot);
    footprint.rootValues = ValueCountOf(HKEY_CURRENT_USER);
    footprint.softwareValues = ValueCountOf(OpenUserKey(L"Software").get());
    return footprint;
}

void ExpectNoStrayWrites(const RegistryFootprint& before, const RegistryFootprint& after)
{
    EXPECT_EQ(after.rootKeys, before.rootKeys) << "keys at the root of HKEY_CURRENT_USER changed";
    EXPECT_EQ(after.rootValues, before.rootValues) << "values at the root of HKEY_CURRENT_USER changed";
    std::set<std::wstring> software = after.softwareKeys;
    software.erase(L"Tessaline");
    std::set<std::wstring> softwareBefore = before.softwareKeys;
    softwareBefore.erase(L"Tessaline");
    EXPECT_EQ(software, softwareBefore) << "keys in HKEY_CURRENT_USER\\Software changed";
    EXPECT_EQ(after.softwareValues, before.softwareValues) << "values in HKEY_CURRENT_USER\\Software changed";
    EXPECT_EQ(after.markerKeys, before.markerKeys) << "keys left in HKEY_CURRENT_USER\\Software\\Tessaline";
}

MarkerScan ScanMarkers(const std::wstring& top)
{
    MarkerScan scan;
    if (const UniqueKey root = OpenUserKey(kMarkerRoot))
        ScanInto(root.get(), top, top, scan);
    return scan;
}

void DeleteMarkerTree(const std::wstring& top)
{
    // Never the whole of HKCU\Software\Tessaline: only a tree that a test named.
    if (top.empty() || top.find(L'\\') != std::wstring::npos)
        return;
    const std::wstring path = std::wstring(kMarkerRoot) + L"\\" + top;
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

ExpectedMarker PredictMarker(const std::wstring& name)
{
    // Under Wine the registry follows Wine's rules, which the tests pin down; elsewhere those of Windows.
    // Microsoft documents 255 characters for a key name ("Registry element size limits"), and the kernel,
    // which decides, may take one more: Wine takes 256 code units and refuses from 257 on
    // (ERROR_INVALID_PARAMETER). So on Windows a component of 256 may go either way. Wine skips empty
    // components (doubled, leading or trailing backslashes) and opens the key the rest names; Windows may
    // refuse such a path instead.
    const bool wine = RunningUnderWine();
    const std::size_t surelyTaken = wine ? kDocumentedKeyName + 1 : kDocumentedKeyName;
    ExpectedMarker expected;
    bool emptyComponent = false, lengthUndecided = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find(L'\\', start);
        const std::wstring component = name.substr(start, end == std::wstring::npos ? end : end - start);
        if (component.empty())
            emptyComponent = true;
        else
            expected.components.push_back(component);
        if (component.size() > kDocumentedKeyName + 1)
            expected.outcome = NameOutcome::Refused;
        else if (component.size() > surelyTaken)
            lengthUndecided = true;
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    if (expected.outcome != NameOutcome::Refused && (lengthUndecided || (emptyComponent && !wine)))
        expected.outcome = NameOutcome::EitherWay;
    return expected;
}

void CheckRegistryRun(const std::wstring& top, const std::wstring& name, const ChildResult& run, int* written,
                      int* refused)
{
    ASSERT_TRUE(EndedCleanly(run)) << Describe(name);
    const ExpectedMarker expected = PredictMarker(name);
    ASSERT_FALSE(expected.components.empty());
    ASSERT_EQ(expected.components.front(), top) << "the name must stay below the test's own key";
    std::wstring path;
    for (const std::wstring& component : expected.components)
        path += (path.empty() ? L"" : L"\\") + component;

    const MarkerScan scan = ScanMarkers(top);
    EXPECT_TRUE(scan.malformed.empty()) << "an Install value that is not REG_SZ \"1\": " << Describe(path);
    const bool isWritten = run.exitCode == S_OK;
    if (expected.outcome == NameOutcome::Written) {
        EXPECT_TRUE(isWritten) << "refused: " << Describe(name);
    }
    if (expected.outcome == NameOutcome::Refused) {
        EXPECT_FALSE(isWritten) << "accepted: " << Describe(name);
    }
    if (isWritten) {
        ASSERT_EQ(scan.installKeys.size(), 1u) << Describe(name);
        EXPECT_EQ(scan.installKeys[0], path) << Describe(scan.installKeys[0]) << " instead of " << Describe(path);
        if (written != nullptr)
            ++*written;
    } else {
        EXPECT_TRUE(scan.installKeys.empty()) << "a marker despite E_FAIL: " << Describe(name);
        if (refused != nullptr)
            ++*refused;
    }
}
