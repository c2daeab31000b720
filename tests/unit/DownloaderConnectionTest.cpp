#include <gtest/gtest.h>

#include <locale>
#include <vector>

#include "DownloaderConnection.h"
#include "TestPipes.h"
#include "Text.h"

namespace {

using Error = wexception<std::runtime_error>;

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

TEST(DownloaderConnection, MissingPipeGetsElevenAttemptsHalfASecondApart)
{
    // Each attempt reaches an instance that cannot be switched to message mode, and fails.
    const std::wstring name = UniquePipeName(L"retrycount");
    AttemptRecorder recorder(name);
    try {
        OpenPipeWithRetry(name);
        FAIL() << "connected to a byte pipe";
    } catch (const Error& error) {
        EXPECT_EQ(error.message(), L"Unable to open named pipe.");
        EXPECT_NE(error.file().find(L"DownloaderConnection.cpp"), std::wstring::npos);
    }
    recorder.Stop();
    EXPECT_TRUE(ElevenAttemptsOnePauseApart(recorder.Attempts()));
}

TEST(DownloaderConnection, PipeThatAppearsIsTakenByTheNextAttempt)
{
    struct Case {
        DWORD createAfterMs; // 0: there from the start
        const char* what;
    } cases[] = {{0, "present: the first attempt, with no pause"}, {1100, "late: the attempt after the third pause"}};
    for (const Case& c : cases) {
        const std::wstring name = UniquePipeName(L"retrylate");
        const DWORD start = GetTickCount();
        DWORD created = 0;
        auto server = OnThread([&] {
            Sleep(c.createAfterMs);
            return std::make_shared<IPC::Pipe>(name, false, [&] { created = GetTickCount() - start; });
        });
        if (c.createAfterMs == 0) {
            ASSERT_TRUE(WaitUntilListening(name));
        }
        const DWORD begun = GetTickCount() - start;
        auto client = OpenPipeWithRetry(name);
        const DWORD connected = GetTickCount() - start;
        EXPECT_EQ(Relay(*server.get(), *client, 4), 4);
        // Attempts come at the start and after each pause: the first one after the pipe appeared wins.
        const DWORD pauses = created <= begun ? 0 : (created - begun + kRetryPauseMs - 1) / kRetryPauseMs;
        EXPECT_GE(connected - begun, pauses * kRetryPauseMs) << c.what << ", created at " << created;
        EXPECT_LT(connected - begun, pauses * kRetryPauseMs + kRetryJitterMs) << c.what << ", created at " << created;
    }
}

} // namespace
