// The programs the integration tests launch are the images this configuration ships, run as such (the
// image check, program_image, reads the same file's headers).
#include <gtest/gtest.h>

#include <windows.h>

#include "ChildProcess.h"

namespace {

TEST(ProgramImage, LaunchedTessalineRunsAsAProcessOfThatArchitecture)
{
    const std::wstring name = L"ArchitectureProbe" + std::to_wstring(GetCurrentProcessId());
    BackgroundProcess program(L"Tessaline.exe", L"/name=" + name);
    BOOL wow64 = FALSE;
    const bool queried = IsWow64Process(program.Handle(), &wow64) != FALSE;
    EXPECT_EQ(program.Wait().exitCode, 0u);
    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Tessaline\\" + name).c_str());
    ASSERT_TRUE(queried);
#ifdef _WIN64
    EXPECT_FALSE(wow64) << "a 64-bit program runs natively";
#else
    // A 32-bit process on the 64-bit system: the i386 image really runs, not a 64-bit twin.
    EXPECT_TRUE(wow64) << "the program is not running as a 32-bit process";
#endif
}

} // namespace
