#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "AttemptRecorder.h"
#include "DownloaderConnection.h"
#include "DownloaderStandIn.h"
#include "ProgramFolder.h"
#include "Raised.h"
#include "TestPipes.h"
#include "Text.h"

namespace {

const std::string kTrue = Bytes({5, 0, 0, 0, 1});

// The guides show the program's debugger lines as it writes them, with today's file and line.
void ExpectShownIn(std::initializer_list<const wchar_t*> guides, const std::wstring& line)
{
    for (const wchar_t* guide : guides)
        EXPECT_NE(ReadBesideProgram(guide).find("\n" + Narrow(line, CP_UTF8) + "\n"), std::string::npos)
            << Narrow(guide, CP_UTF8) << " does not show " << Narrow(line, CP_UTF8);
}

// An instance an earlier test left would hold every run here for the whole retry.
class PipeMode : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(NoInstanceOf(DownloaderPipeName())); }
};

TEST_F(PipeMode, RequestIsTheCompletionNoticeByteForByte)
{
    bool quietAfterReply = false;
    const DownloaderRun run = RunAgainstDownloader(L"", [&](IPC::Pipe& pipe) {
        const std::string request = Answer(kTrue)(pipe);
        // The program sends nothing after its request: the next thing it does is close.
        quietAfterReply = RaisedBy([&] { pipe.Read(); }) == L"Pipe disconnected";
        return request;
    });
    // The protocol document's example of the request.
    EXPECT_EQ(Hex(run.request), "00 00 00 00 00 00 00 00 02 00 00 00 26 00 00 00 7B 00 43 00 32 00 41 00 38 00 36 00 "
                                "46 00 31 00 34 00 2D 00 35 00 44 00 33 00 42 00 2D 00 34 00 45 00 39 00 37 00 2D 00 "
                                "41 00 31 00 43 00 30 00 2D 00 33 00 38 00 46 00 35 00 45 00 32 00 42 00 39 00 44 00 "
                                "36 00 34 00 41 00 7D 00");
    EXPECT_TRUE(quietAfterReply);
    EXPECT_EQ(run.program.exitCode, 0u);
    EXPECT_EQ(run.program.output, "");
    EXPECT_TRUE(run.program.debugLines.empty());
}

struct ReplyCase {
    const char* what;
    std::string reply;
    DWORD exitCode;
    const wchar_t* line; // how the program's one debugger line starts; none for an answer
    bool shown = false;  // the guide's example of that line
};

class Replies : public PipeMode, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, DecideTheExitCode)
{
    const DownloaderRun run = RunAgainstDownloader(L"", Answer(GetParam().reply));
    ASSERT_TRUE(run.program.finished);
    EXPECT_EQ(run.program.exitCode, GetParam().exitCode) << GetParam().what;
    EXPECT_EQ(run.request.size(), 92u);
    const std::vector<std::wstring>& lines = run.program.debugLines;
    if (GetParam().line == nullptr) {
        EXPECT_TRUE(lines.empty()) << testing::PrintToString(lines);
    } else {
        ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
        EXPECT_EQ(lines[0].rfind(GetParam().line, 0), 0u) << testing::PrintToString(lines[0]);
        if (GetParam().shown)
            ExpectShownIn({L"setup-authors.md"}, lines[0]);
    }
}

std::string LongTrueReply()
{
    std::string reply = Bytes({5, 0, 0, 0, 1});
    reply.resize(3000, '\x5A');
    return reply;
}

const wchar_t kShort[] = L"Tessaline: Unexpected end of input buffer (Downloader/MessageBuffer.cpp:";
const wchar_t kWrongType[] = L"Tessaline: Unexpected type found in input buffer (Downloader/MessageBuffer.cpp:";

INSTANTIATE_TEST_SUITE_P(Kinds, Replies,
                         ::testing::Values(ReplyCase{"true", Bytes({5, 0, 0, 0, 1}), 0, nullptr},
                                           ReplyCase{"false", Bytes({5, 0, 0, 0, 0}), kFail, nullptr},
                                           ReplyCase{"non-zero byte", Bytes({5, 0, 0, 0, 0x80}), 0, nullptr},
                                           ReplyCase{"trailing bytes", Bytes({5, 0, 0, 0, 1, 0, 0, 0, 0}), 0, nullptr},
                                           ReplyCase{"3000 bytes", LongTrueReply(), 0, nullptr},
                                           ReplyCase{"empty", std::string(), kFail, kShort},
                                           ReplyCase{"3 bytes", Bytes({5, 0, 0}), kFail, kShort},
                                           ReplyCase{"tag only", Bytes({5, 0, 0, 0}), kFail, kShort},
                                           ReplyCase{"String", Bytes({2, 0, 0, 0, 0, 0, 0, 0}), kFail, kWrongType},
                                           ReplyCase{"Integer 1", Bytes({0, 0, 0, 0, 1, 0, 0, 0}), kFail, kWrongType,
                                                     true}),
                         [](const testing::TestParamInfo<ReplyCase>& info) { return std::to_string(info.index); });

TEST_F(PipeMode, ReplyIsAwaitedWithoutATimeLimit)
{
    // Longer than the whole connection window: the wait for the answer has no limit of its own.
    const DownloaderRun run = RunAgainstDownloader(L"", Answer(kTrue, 6000));
    EXPECT_EQ(run.program.exitCode, 0u);
    EXPECT_GE(run.program.seconds, 6.0);
}

TEST_F(PipeMode, DownloaderClosingWithoutReplyIsAFailureTracedForADebugger)
{
    const DownloaderRun run = RunAgainstDownloader(L"", [](IPC::Pipe& pipe) { return pipe.Read().Content(); });
    EXPECT_EQ(run.request.size(), 92u);
    EXPECT_EQ(run.program.exitCode, kFail);
    ASSERT_EQ(run.program.debugLines.size(), 1u) << testing::PrintToString(run.program.debugLines);
    EXPECT_EQ(run.program.debugLines[0].rfind(L"Tessaline: Pipe disconnected (Downloader/Pipe.cpp:", 0), 0u)
        << testing::PrintToString(run.program.debugLines[0]);
    ExpectShownIn({L"setup-authors.md"}, run.program.debugLines[0]);
}

TEST_F(PipeMode, CommandLinesWithoutANameReachTheDownloader)
{
    for (const wchar_t* arguments : {L"", L"   ", L"/name", L"/name=", L"/name=\"\"", L"/other=1", L"/NAME= "}) {
        const DownloaderRun run = RunAgainstDownloader(arguments, Answer(kTrue));
        EXPECT_EQ(run.request.size(), 92u) << testing::PrintToString(std::wstring(arguments));
        EXPECT_EQ(run.program.exitCode, 0u) << testing::PrintToString(std::wstring(arguments));
    }
}

TEST_F(PipeMode, NoDownloaderFailsAfterTenPauses)
{
    const ChildResult run = RunProgram(L"Tessaline.exe", L"");
    std::printf("no downloader: E_FAIL after %.2f s\n", run.seconds);
    EXPECT_EQ(run.exitCode, kFail);
    // Ten pauses at the least; the test of the attempts below bounds them from above.
    EXPECT_GE(run.seconds, 10 * kExpectedPauseMs / 1000.0);
    // One failure, one line: the retry does not report what the exchange reports, but gives the reason of
    // its last attempt.
    ASSERT_EQ(run.debugLines.size(), 1u) << testing::PrintToString(run.debugLines);
    EXPECT_EQ(run.debugLines[0].rfind(L"Tessaline: Unable to open named pipe. Last attempt: Unable to connect to a "
                                      L"named pipe (Error code: 2) (Downloader/Tessaline/DownloaderConnection.cpp:",
                                      0),
              0u)
        << testing::PrintToString(run.debugLines[0]);
    ExpectShownIn({L"README.md", L"setup-authors.md"}, run.debugLines[0]);
}

TEST_F(PipeMode, ElevenAttemptsHalfASecondApart)
{
    // Every attempt reaches an instance it cannot use; the downloader sees each one come.
    AttemptRecorder recorder(DownloaderPipeName());
    const ChildResult run = RunProgram(L"Tessaline.exe", L"");
    EXPECT_EQ(run.exitCode, kFail);
    recorder.Stop();
    EXPECT_TRUE(ElevenAttemptsOnePauseApart(recorder.Attempts()));
}

TEST_F(PipeMode, DownloaderThatStartsLateIsReachedByTheNextAttempt)
{
    // The first attempt finds an instance it cannot use; then there is no pipe until the downloader
    // creates it, about 1.1 s after that attempt.
    const std::wstring name = DownloaderPipeName();
    auto recorder = std::make_unique<AttemptRecorder>(name, 1);
    BackgroundProcess program(L"Tessaline.exe", L"");
    ASSERT_TRUE(recorder->WaitForAttempts(1));
    const DWORD first = recorder->Attempts().front();
    recorder.reset();
    Sleep(1100 - std::min<DWORD>(GetTickCount() - first, 1100));
    DWORD created = 0;
    IPC::Pipe pipe(name, false, [&](HANDLE) { created = GetTickCount() - first; });
    const DWORD connected = GetTickCount() - first;
    OutputBuffer reply;
    reply.WriteBytes(kTrue);
    EXPECT_EQ(pipe.Read().Content().size(), 92u);
    pipe.Write(reply);
    EXPECT_EQ(program.Wait().exitCode, 0u);
    const DWORD pauses = (created + kExpectedPauseMs - 1) / kExpectedPauseMs;
    EXPECT_GE(connected, pauses * kExpectedPauseMs) << "created " << created << " ms after the first attempt";
    EXPECT_LT(connected, pauses * kExpectedPauseMs + RetryJitterMs())
        << "created " << created << " ms after the first attempt";
}

TEST_F(PipeMode, WorksAgainstTheDownloaderPeer)
{
    struct Case {
        const wchar_t* peerArguments;
        DWORD exitCode;
        const char* peerSays;
    } cases[] = {
        {L"--reply true", 0, "reply: 05 00 00 00 01"},
        {L"--reply false", kFail, "reply: 05 00 00 00 00"},
        {L"--reply 0500", kFail, "reply: 05 00"},
        {L"--close", kFail, "closing without a reply"},
    };
    for (const Case& c : cases) {
        BackgroundProcess peer(L"DownloaderPeer.exe", c.peerArguments);
        ASSERT_TRUE(peer.WaitForOutput("listening on"));
        const ChildResult run = RunProgram(L"Tessaline.exe", L"");
        EXPECT_EQ(run.exitCode, c.exitCode) << testing::PrintToString(std::wstring(c.peerArguments));
        const ChildResult peerEnd = peer.Wait();
        EXPECT_EQ(peerEnd.exitCode, 0u);
        EXPECT_NE(peerEnd.output.find("request: code=0 suffix={C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A} (92 bytes)"),
                  std::string::npos)
            << peerEnd.output;
        EXPECT_NE(peerEnd.output.find(c.peerSays), std::string::npos) << peerEnd.output;
    }
}

TEST_F(PipeMode, PeerReportsAMalformedRequest)
{
    BackgroundProcess peer(L"DownloaderPeer.exe", L"");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    IPC::Pipe client(DownloaderPipeName(), true);
    OutputBuffer junk;
    junk.WriteBytes(Bytes({9, 9}));
    client.Write(junk);
    // What is not the notice is no setup's: answered false.
    EXPECT_EQ(Hex(client.Read().Content()), "05 00 00 00 00");
    const ChildResult peerEnd = peer.Wait();
    EXPECT_EQ(peerEnd.exitCode, 0u);
    EXPECT_NE(peerEnd.output.find("malformed request: Unexpected end of input buffer (2 bytes)"), std::string::npos)
        << peerEnd.output;
}

} // namespace
