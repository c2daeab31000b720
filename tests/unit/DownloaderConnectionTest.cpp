#include <gtest/gtest.h>

#include <locale>
#include <vector>

#include "AttemptRecorder.h"
#include "DownloaderConnection.h"
#include "TestPipes.h"
#include "Text.h"

namespace {

TEST(DownloaderConnection, NameIsTheFixedPrefixAndSuffix)
{
    for (int call = 0; call < 2; ++call)
        EXPECT_EQ(MakeInstanceSuffix(), L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
    EXPECT_EQ(DownloaderPipeName(), L"\\\\.\\pipe\\lumo_downloader_{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
}

// The suffix is trimmed of what the classic locale calls white space in a narrow text, byte for byte.
TEST(DownloaderConnection, SuffixWhiteSpaceIsTheClassicLocalesForEveryByte)
{
    const std::locale& classic = std::locale::classic();
    std::vector<int> differing;
    for (int value = 0; value < 256; ++value) {
        const char c = static_cast<char>(value);
        const std::string around = std::string(1, c) + "x" + std::string(1, c);
        if (Trim(around) != (std::isspace(c, classic) ? std::string("x") : around))
            differing.push_back(value);
    }
    EXPECT_TRUE(differing.empty()) << testing::PrintToString(differing);
}

// The later attempts and their pauses: PipeModeTest, from the downloader's side of the program's pipe.
TEST(DownloaderConnection, PresentPipeIsTakenByTheFirstAttemptWithoutAPause)
{
    const std::wstring name = UniquePipeName(L"present");
    auto server = ServeOnThread(name, [name] { return std::make_shared<IPC::Pipe>(name, false); });
    const DWORD start = GetTickCount();
    const auto client = OpenPipeWithRetry(name);
    EXPECT_LT(GetTickCount() - start, RetryJitterMs());
    EXPECT_EQ(Relay(*server.get(), *client, 4), 4);
}

} // namespace
