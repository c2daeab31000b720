#include <gtest/gtest.h>

#include <locale>
#include <vector>

#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "TestPipes.h"
#include "Text.h"

namespace {

using Error = wexception<std::runtime_error>;

TEST(DownloaderConnection, InstanceSuffixIsTheFixedIdentifier)
{
    for (int call = 0; call < 3; ++call) {
        const std::wstring suffix = MakeInstanceSuffix();
        EXPECT_EQ(suffix, L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
        EXPECT_EQ(suffix.size(), 38u);
    }
}

// The suffix is trimmed of what the classic locale calls white space in a narrow text, byte for byte.
TEST(DownloaderConnection, SuffixWhiteSpaceIsTheClassicLocalesForEveryByte)
{
    const std::locale& classic = std::locale::classic();
    std::vector<int> differing;
    int spaces = 0;
    for (int value = 0; value < 256; ++value) {
        const char c = static_cast<char>(value);
        const bool expected = std::isspace(c, classic);
        spaces += expected ? 1 : 0;
        if (IsSpace(c) != expected)
            differing.push_back(value);
        const std::string around = std::string(1, c) + "x" + std::string(1, c);
        if (Trim(around) != (expected ? std::string("x") : around))
            differing.push_back(value);
    }
    EXPECT_TRUE(differing.empty()) << testing::PrintToString(differing);
    EXPECT_EQ(spaces, 6);
}

TEST(DownloaderConnection, NameIsPrefixThenSuffix)
{
    EXPECT_EQ(PipeNamePrefix, L"\\\\.\\pipe\\lumo_downloader_");
    EXPECT_EQ(DownloaderPipeName(), L"\\\\.\\pipe\\lumo_downloader_{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
}

TEST(DownloaderConnection, RequestIsTheNinetyTwoBytes)
{
    OutputBuffer request;
    BuildCompletionRequest(request);
    const std::string bytes = request.Content();
    ASSERT_EQ(bytes.size(), 92u);
    EXPECT_EQ(Hex(bytes.substr(0, 20)), "00 00 00 00 00 00 00 00 02 00 00 00 26 00 00 00 7B 00 43 00");
    InputBuffer decoded(bytes);
    EXPECT_EQ(decoded.ReadInteger(), 0);
    EXPECT_EQ(decoded.ReadString(), MakeInstanceSuffix());
}

TEST(DownloaderConnection, FirstAttemptThatSucceedsDoesNotPause)
{
    const std::wstring name = UniquePipeName(L"retryfirst");
    auto server = OnThread([name] { return std::make_shared<IPC::Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    const DWORD start = GetTickCount();
    auto client = OpenPipeWithRetry(name);
    EXPECT_LT(GetTickCount() - start, 450u);
    EXPECT_EQ(Relay(*client, *server.get(), 3), 3);
}

TEST(DownloaderConnection, PipeThatAppearsLateIsFoundByARetry)
{
    const std::wstring name = UniquePipeName(L"retrylate");
    const DWORD start = GetTickCount();
    auto server = OnThread([name] {
        Sleep(1200);
        return std::make_shared<IPC::Pipe>(name, false);
    });
    auto client = OpenPipeWithRetry(name);
    const DWORD elapsed = GetTickCount() - start;
    std::printf("late pipe: connected after %lu ms\n", static_cast<unsigned long>(elapsed));
    // The attempt after the third pause (about 1.5 s) is the first that can succeed.
    EXPECT_GE(elapsed, 1200u);
    EXPECT_LT(elapsed, 3500u);
    EXPECT_EQ(Relay(*server.get(), *client, 4), 4);
}

TEST(DownloaderConnection, MissingPipeGivesUpAfterTenPauses)
{
    const std::wstring name = UniquePipeName(L"retrynone");
    const DWORD start = GetTickCount();
    try {
        OpenPipeWithRetry(name);
        FAIL() << "connected to nothing";
    } catch (const Error& error) {
        EXPECT_EQ(error.message(), L"Unable to open named pipe.");
        EXPECT_NE(error.file().find(L"DownloaderConnection.cpp"), std::wstring::npos);
    }
    const DWORD elapsed = GetTickCount() - start;
    std::printf("missing pipe: gave up after %lu ms\n", static_cast<unsigned long>(elapsed));
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LT(elapsed, 9000u);
}

} // namespace
