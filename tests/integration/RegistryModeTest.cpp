#include <gtest/gtest.h>

#include <windows.h>

#include "ChildProcess.h"

namespace {

const DWORD kFail = 0x80004005;
const wchar_t kRoot[] = L"Software\\Tessaline\\";

// A product name no other run uses, removed again when the test ends.
class RegistryMode : public ::testing::Test {
protected:
    void SetUp() override { base_ = L"IntegrationTest" + std::to_wstring(GetCurrentProcessId()); }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, (kRoot + base_).c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, (kRoot + base_ + L"Upper").c_str());
    }

    struct Marker {
        bool exists = false;
        DWORD type = 0;
        std::string data;
    };

    static Marker ReadMarker(const std::wstring& name)
    {
        Marker marker;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, (kRoot + name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return marker;
        char data[64] = {};
        DWORD size = sizeof data;
        if (RegQueryValueExW(key, L"Install", nullptr, &marker.type, reinterpret_cast<BYTE*>(data), &size) ==
            ERROR_SUCCESS) {
            marker.exists = true;
            marker.data.assign(data, size);
        }
        RegCloseKey(key);
        return marker;
    }

    static void ExpectInstalled(const std::wstring& name)
    {
        const Marker marker = ReadMarker(name);
        ASSERT_TRUE(marker.exists) << testing::PrintToString(name);
        EXPECT_EQ(marker.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(marker.data, std::string("1\0\0\0", 4));
    }

    std::wstring base_;
};

TEST_F(RegistryMode, CommandLinesWriteTheMarkerTheyName)
{
    struct Case {
        std::wstring arguments;
        std::wstring key;
    } cases[] = {
        {L"/name=" + base_, base_},
        {L"/NAME=" + base_ + L"Upper", base_ + L"Upper"},
        {L"/x=1 /name=\"" + base_ + L"\\With Blanks\"", base_ + L"\\With Blanks"},
        {L"/name=" + base_ + L"\\A\\B", base_ + L"\\A\\B"},
        {L"  /Name=" + base_ + L"\\Trailing  ", base_ + L"\\Trailing"},
        {L"/name=" + base_ + L"\\Pro\"\"duct", base_ + L"\\Product"},
    };
    for (const Case& c : cases) {
        const ChildResult run = RunProgram(L"Tessaline.exe", c.arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << testing::PrintToString(c.arguments);
        EXPECT_EQ(run.output, "");
        ExpectInstalled(c.key);
    }
    // The level above is created too, but holds no marker.
    HKEY above = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (kRoot + base_ + L"\\A").c_str(), 0, KEY_READ, &above), ERROR_SUCCESS);
    RegCloseKey(above);
    EXPECT_FALSE(ReadMarker(base_ + L"\\A").exists);
}

TEST_F(RegistryMode, RunningTwiceKeepsOneValue)
{
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(RunProgram(L"Tessaline.exe", L"/name=" + base_).exitCode, 0u);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (kRoot + base_).c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    EXPECT_EQ(values, 1u);
}

TEST_F(RegistryMode, ReplacesAnInstallValueOfAnotherType)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (kRoot + base_).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD old = 7;
    RegSetValueExW(key, L"Install", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
    RegCloseKey(key);

    EXPECT_EQ(RunProgram(L"Tessaline.exe", L"/name=" + base_).exitCode, 0u);
    ExpectInstalled(base_);
}

TEST_F(RegistryMode, NameTheRegistryRefusesIsAFailure)
{
    const std::wstring tooLong(300, L'k');
    const ChildResult run = RunProgram(L"Tessaline.exe", L"/name=" + base_ + L"\\" + tooLong);
    EXPECT_EQ(run.exitCode, kFail);
    EXPECT_FALSE(ReadMarker(base_ + L"\\" + tooLong).exists);
    // The registry may have made the levels above the refused one, but no marker is written anywhere.
    EXPECT_FALSE(ReadMarker(base_).exists);
}

} // namespace
