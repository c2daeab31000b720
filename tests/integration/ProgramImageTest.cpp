// The programs the integration tests launch are the images this configuration ships, run as such (the
// image check, program_image, reads the same file's headers).
#include <gtest/gtest.h>

#include <windows.h>

#include "ChildProcess.h"

namespace {

TEST(ProgramImage, LaunchedTessalineRunsAsAProcessOfThatArchitecture)
{
    std::wstring path = ProgramFolder() + L"Tessaline.exe";
    std::wstring commandLine = QuoteArgument(path) + L" /name=ArchitectureProbe";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &info));
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    BOOL wow64 = FALSE;
    const bool queried = IsWow64Process(process.get(), &wow64) != FALSE;
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 10000);
    ASSERT_TRUE(queried);
#ifdef _WIN64
    EXPECT_FALSE(wow64) << "a 64-bit program runs natively";
#else
    // A 32-bit process on the 64-bit system: the i386 image really runs, not a 64-bit twin.
    EXPECT_TRUE(wow64) << "the program is not running as a 32-bit process";
#endif
}

} // namespace
