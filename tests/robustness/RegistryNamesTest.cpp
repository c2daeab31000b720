// Names the registry refuses, very long names and names outside the ANSI code page: the marker at
// exactly the expected key or E_FAIL, and nothing written outside HKCU\Software\Tessaline.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "MarkerTree.h"
#include "Robustness.h"
#include "Watchdog.h"

namespace {

std::wstring Components(std::size_t count, std::size_t length)
{
    std::wstring text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i == 0 ? L"" : L"\\") + std::wstring(length, static_cast<wchar_t>(L'a' + i % 26));
    return text;
}

std::wstring Repeat(const std::wstring& unit, std::size_t count)
{
    std::wstring text;
    for (std::size_t i = 0; i < count; ++i)
        text += unit;
    return text;
}

struct NameCase {
    const char* what;
    std::wstring below; // the name after the test's own key and a backslash
    bool leadingBackslash = false;
};

TEST(RegistryNames, WrittenExactlyOrRefused)
{
    SetTestTimeLimit(120);
    // What Wine does (Wine 8): doubled, tripled, leading and trailing backslashes make empty
    // components, which it skips: "Top\\A\\\\B" opens Top\A\B, and the marker lands there with
    // S_OK. A component of 256 code units is still accepted; from 257 on the creation fails with
    // ERROR_INVALID_PARAMETER, and the program ends with E_FAIL. Windows documents 255 and decides 256
    // itself: whichever it does, the support tool, which asks the registry, must say the same.
    const NameCase cases[] = {
        {"component of 255", std::wstring(255, L'x')},
        {"component of 256", std::wstring(256, L'x')},
        {"component of 257", std::wstring(257, L'x')},
        {"component of 300 below a good one", L"Good\\" + std::wstring(300, L'x')},
        {"component of 1000", std::wstring(1000, L'x')},
        {"doubled backslash", L"A\\\\B"},
        {"tripled backslash", L"A\\\\\\B"},
        {"trailing backslash", L"T\\"},
        {"leading backslash", L"L", true},
        {"2000 characters in components of 200", Components(10, 199)},
        {"30000 characters in components of 200", Components(150, 199)},
        {"100 levels", Components(100, 1)},
        {"Cyrillic", L"\u041F\u0440\u043E\u0434\u0443\u043A\u0442\\\u0423\u0441\u0442\u0430\u043D\u043E\u0432\u043A"
                     L"\u0430"},
        {"CJK", L"\u88FD\u54C1\\\u30A4\u30F3\u30B9\u30C8\u30FC\u30EB"},
        {"surrogate pairs", L"\U0001F600\\\U0001D49C\U00020000"},
        {"128 surrogate pairs (256 code units)", Repeat(L"\U0001F600", 128)},
        {"129 surrogate pairs (258 code units)", Repeat(L"\U0001F600", 129)},
        {"dots", L".\\..\\..."},
        {"tab and control character inside", L"a\tb\x01"
                                             L"c"},
        {"inner blanks", L"My Product\\Inner  Blanks"},
    };
    const RegistryFootprint before = RegistryFootprint::Take();
    int index = 0, written = 0, refused = 0;
    for (const NameCase& c : cases) {
        const std::wstring top =
            L"RobustReg" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(index++);
        const std::wstring name = (c.leadingBackslash ? L"\\" : L"") + top + L"\\" + c.below;
        const std::wstring arguments = L"/name=" + name;
        ASSERT_LE(arguments.size(), ArgumentRoom()) << c.what;
        SCOPED_TRACE(c.what);
        const int writtenBefore = written;
        const ChildResult run = RunProgram(L"Tessaline.exe", arguments);
        CheckRegistryRun(top, name, run, &written, &refused);
        std::printf("%-40s %5zu chars: %s\n", c.what, name.size(), written > writtenBefore ? "written" : "E_FAIL");
        if (c.below.size() == kDocumentedKeyName + 1 && c.below.find(L'\\') == std::wstring::npos) {
            EXPECT_EQ(written > writtenBefore, LongestKeyName().units > kDocumentedKeyName)
                << "the support tool says " << LongestKeyName().units << " units at most";
        }
        DeleteMarkerTree(top);
    }
    std::printf("%d names: %d written, %d refused; a key name of %zu units at most here (%s; Microsoft documents "
                "%zu)\n",
                index, written, refused, LongestKeyName().units,
                LongestKeyName().probed ? "the registry says" : "the registry does not say", kDocumentedKeyName);
    EXPECT_GT(refused, 0);
    ExpectNoStrayWrites(before, RegistryFootprint::Take());
}

// A name of backslashes only names no key of its own: Wine opens HKCU\Software\Tessaline itself
// and the marker lands there. It stays inside the product's key either way.
TEST(RegistryNames, BackslashesOnlyStayInsideTheProductKey)
{
    const RegistryFootprint before = RegistryFootprint::Take();
    HKEY created = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, kMarkerRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
        ERROR_SUCCESS);
    const UniqueKey owner(created);
    HKEY root = owner.get();
    const bool hadValue = RegQueryValueExW(root, L"Install", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    for (const wchar_t* arguments : {L"/name=\\", L"/name=\\\\\\"}) {
        const ChildResult run = RunProgram(L"Tessaline.exe", arguments);
        ASSERT_TRUE(EndedCleanly(run)) << Describe(arguments);
        DWORD type = 0;
        wchar_t data[8] = {};
        DWORD size = sizeof data;
        const bool hasValue =
            RegQueryValueExW(root, L"Install", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
        std::printf("%ls: exit 0x%08lX, marker on HKCU\\Software\\Tessaline itself: %s\n", arguments,
                    static_cast<unsigned long>(run.exitCode), hasValue ? "yes" : "no");
        // Wine opens the key itself; Windows may refuse the name, and then writes nothing.
        if (RunningUnderWine()) {
            EXPECT_EQ(run.exitCode, static_cast<DWORD>(S_OK)) << Describe(arguments);
        }
        if (run.exitCode == S_OK) {
            EXPECT_TRUE(hasValue);
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(std::wstring(data), L"1");
        } else {
            EXPECT_TRUE(hadValue || !hasValue) << "E_FAIL, and yet a marker: " << Describe(arguments);
        }
        if (!hadValue)
            RegDeleteValueW(root, L"Install");
    }
    ExpectNoStrayWrites(before, RegistryFootprint::Take());
}

} // namespace
