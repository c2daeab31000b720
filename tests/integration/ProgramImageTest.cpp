// The programs the integration tests launch are the images this configuration ships, run as such.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ChildProcess.h"

namespace {

#ifdef _WIN64
const WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
const WORD kOptionalMagic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#else
const WORD kMachine = IMAGE_FILE_MACHINE_I386;
const WORD kOptionalMagic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#endif

WORD ReadWord(const std::string& image, std::size_t offset)
{
    return static_cast<WORD>(static_cast<unsigned char>(image.at(offset)) |
                             (static_cast<unsigned char>(image.at(offset + 1)) << 8));
}

TEST(ProgramImage, LaunchedTessalineIsTheImageOfThisConfiguration)
{
    const std::string image = ReadBesideProgram(L"Tessaline.exe");
    ASSERT_GT(image.size(), 0x200u) << "Tessaline.exe not found beside the tests";
    ASSERT_EQ(image.substr(0, 2), "MZ");
    const std::size_t pe = ReadWord(image, 0x3C) | (static_cast<std::size_t>(ReadWord(image, 0x3E)) << 16);
    ASSERT_EQ(image.substr(pe, 4), std::string("PE\0\0", 4));
    EXPECT_EQ(ReadWord(image, pe + 4), kMachine);
    const std::size_t optional = pe + 4 + sizeof(IMAGE_FILE_HEADER);
    EXPECT_EQ(ReadWord(image, optional), kOptionalMagic);
    EXPECT_EQ(ReadWord(image, optional + offsetof(IMAGE_OPTIONAL_HEADER, Subsystem)), IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

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
