#include <gtest/gtest.h>

#include <windows.h>

#include "ChildProcess.h"
#include "TestRegistry.h"

namespace {

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

    static InstallValue ReadMarker(const std::wstring& name)
    {
        const UniqueKey key = OpenUserKey(kRoot + name);
        return key ? ReadInstallValue(key.get()) : InstallValue();
    }

    static void ExpectInstalled(const std::wstring& name)
    {
        const InstallValue marker = ReadMarker(name);
        ASSERT_TRUE(marker.Exists()) << testing::PrintToString(name);
        EXPECT_EQ(marker.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(marker.data, std::string("1\0\0\0", 4));
        // The marker outlives a restart: a volatile key would be gone, and the registry refuses a lasting
        // key below a volatile one (ERROR_CHILD_MUST_BE_VOLATILE).
        const std::wstring lasting = kRoot + name + L"\\LastingProbe";
        HKEY probe = nullptr;
        const LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, lasting.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_READ, nullptr, &probe, nullptr);
        UniqueKey(probe).reset();
        RegDeleteKeyW(HKEY_CURRENT_USER, lasting.c_str());
        EXPECT_EQ(status, ERROR_SUCCESS) << "the marker key is volatile: " << testing::PrintToString(name);
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
        // Quoted blanks at the ends stay in the name.
        {L"/name=" + base_ + L"\\\"  Padded  \"", base_ + L"\\  Padded  "},
    };
    for (const Case& c : cases) {
        const ChildResult run = RunProgram(L"Tessaline.exe", c.arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << testing::PrintToString(c.arguments);
        EXPECT_EQ(run.output, "");
        ExpectInstalled(c.key);
    }
    // The level above is created too, but holds no marker.
    EXPECT_TRUE(OpenUserKey(kRoot + base_ + L"\\A"));
    EXPECT_FALSE(ReadMarker(base_ + L"\\A").Exists());
}

TEST_F(RegistryMode, RunningTwiceKeepsOneValue)
{
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(RunProgram(L"Tessaline.exe", L"/name=" + base_).exitCode, 0u);
    const UniqueKey key = OpenUserKey(kRoot + base_);
    ASSERT_TRUE(key);
    EXPECT_EQ(ValueCountOf(key.get()), 1u);
}

TEST_F(RegistryMode, ReplacesAnInstallValueOfAnotherType)
{
    {
        HKEY created = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (kRoot + base_).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &created, nullptr),
                  ERROR_SUCCESS);
        const UniqueKey key(created);
        const DWORD old = 7;
        RegSetValueExW(key.get(), L"Install", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
    }

    EXPECT_EQ(RunProgram(L"Tessaline.exe", L"/name=" + base_).exitCode, 0u);
    ExpectInstalled(base_);
}

TEST_F(RegistryMode, NameTheRegistryRefusesIsAFailure)
{
    const std::wstring tooLong(300, L'k');
    const ChildResult run = RunProgram(L"Tessaline.exe", L"/name=" + base_ + L"\\" + tooLong);
    EXPECT_EQ(run.exitCode, kFail);
    EXPECT_FALSE(ReadMarker(base_ + L"\\" + tooLong).Exists());
    // The registry may have made the levels above the refused one, but no marker is written anywhere.
    EXPECT_FALSE(ReadMarker(base_).Exists());
}

} // namespace
