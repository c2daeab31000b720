#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>

#include "ChildProcess.h"
#include "DownloaderConnection.h"
#include "TestPipes.h"

namespace {

// What an in-test downloader saw of one run of the program.
struct Exchange {
    ChildResult run;
    std::string request;
    bool onlyRequest = false; // the program sent nothing after its request and closed
};

// Serves the downloader pipe once, answers with the reply after the delay (or closes when there is
// none), and runs the program against it.
Exchange RunAgainstServer(const std::wstring& arguments, const std::string* reply, DWORD replyDelayMs = 0)
{
    const std::wstring name = DownloaderPipeName();
    auto server = OnThread([=]() {
        IPC::Pipe pipe(name, false);
        Exchange seen;
        seen.request = pipe.Read().Content();
        if (reply != nullptr) {
            Sleep(replyDelayMs);
            OutputBuffer out;
            out.WriteBytes(*reply);
            pipe.Write(out);
            try {
                pipe.Read();
            } catch (const wexception<std::runtime_error>& error) {
                seen.onlyRequest = error.message() == L"Pipe disconnected";
            }
        }
        return seen;
    });
    EXPECT_TRUE(WaitUntilListening(name));
    const ChildResult run = RunProgram(L"Tessaline.exe", arguments);
    if (server.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        IPC::CancelPendingConnect();
    Exchange exchange;
    try {
        exchange = server.get();
    } catch (const wexception<std::runtime_error>&) {
        // A server that got no client or no request leaves the request empty, which the tests check.
    }
    exchange.run = run;
    return exchange;
}

TEST(PipeMode, RequestIsTheCompletionNoticeByteForByte)
{
    const std::string reply = Bytes({5, 0, 0, 0, 1});
    const Exchange exchange = RunAgainstServer(L"", &reply);
    OutputBuffer expected;
    expected.WriteInteger(0);
    expected.WriteString(L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
    ASSERT_EQ(exchange.request.size(), 92u);
    EXPECT_EQ(Hex(exchange.request), Hex(expected.Content()));
    EXPECT_TRUE(exchange.onlyRequest);
    EXPECT_EQ(exchange.run.exitCode, 0u);
    EXPECT_EQ(exchange.run.output, "");
    EXPECT_TRUE(exchange.run.debugLines.empty());
}

struct ReplyCase {
    const char* what;
    std::string reply;
    DWORD exitCode;
    const wchar_t* line; // how the program's one debugger line starts; none for an answer
};

class Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Replies, DecideTheExitCode)
{
    const Exchange exchange = RunAgainstServer(L"", &GetParam().reply);
    ASSERT_TRUE(exchange.run.finished);
    EXPECT_EQ(exchange.run.exitCode, GetParam().exitCode) << GetParam().what;
    EXPECT_EQ(exchange.request.size(), 92u);
    const std::vector<std::wstring>& lines = exchange.run.debugLines;
    if (GetParam().line == nullptr) {
        EXPECT_TRUE(lines.empty()) << testing::PrintToString(lines);
    } else {
        ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
        EXPECT_EQ(lines[0].rfind(GetParam().line, 0), 0u) << testing::PrintToString(lines[0]);
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
                                           ReplyCase{"Integer 1", Bytes({0, 0, 0, 0, 1, 0, 0, 0}), kFail, kWrongType}),
                         [](const testing::TestParamInfo<ReplyCase>& info) { return std::to_string(info.index); });

TEST(PipeMode, ReplyIsAwaitedWithoutATimeLimit)
{
    // Longer than the whole connection window: the wait for the answer has no limit of its own.
    const std::string reply = Bytes({5, 0, 0, 0, 1});
    const Exchange exchange = RunAgainstServer(L"", &reply, 6000);
    EXPECT_EQ(exchange.run.exitCode, 0u);
    EXPECT_GE(exchange.run.seconds, 6.0);
}

TEST(PipeMode, DownloaderClosingWithoutReplyIsAFailureTracedForADebugger)
{
    const Exchange exchange = RunAgainstServer(L"", nullptr);
    EXPECT_EQ(exchange.request.size(), 92u);
    EXPECT_EQ(exchange.run.exitCode, kFail);
    ASSERT_EQ(exchange.run.debugLines.size(), 1u) << testing::PrintToString(exchange.run.debugLines);
    EXPECT_EQ(exchange.run.debugLines[0].rfind(L"Tessaline: Pipe disconnected (Downloader/Pipe.cpp:", 0), 0u)
        << testing::PrintToString(exchange.run.debugLines[0]);
}

TEST(PipeMode, CommandLinesWithoutANameReachTheDownloader)
{
    const std::string reply = Bytes({5, 0, 0, 0, 1});
    for (const wchar_t* arguments : {L"", L"   ", L"/name", L"/name=", L"/name=\"\"", L"/other=1", L"/NAME= "}) {
        const Exchange exchange = RunAgainstServer(arguments, &reply);
        EXPECT_EQ(exchange.request.size(), 92u) << testing::PrintToString(std::wstring(arguments));
        EXPECT_EQ(exchange.run.exitCode, 0u) << testing::PrintToString(std::wstring(arguments));
    }
}

TEST(PipeMode, NoDownloaderFailsAfterTenPauses)
{
    const ChildResult run = RunProgram(L"Tessaline.exe", L"");
    std::printf("no downloader: E_FAIL after %.2f s\n", run.seconds);
    EXPECT_EQ(run.exitCode, kFail);
    EXPECT_GE(run.seconds, 10 * kRetryPauseMs / 1000.0);
    EXPECT_LT(run.seconds, (10 * kRetryPauseMs + kRetryJitterMs) / 1000.0 + kStartAllowanceSeconds);
    // One failure, one line: the retry does not report what the exchange reports.
    ASSERT_EQ(run.debugLines.size(), 1u) << testing::PrintToString(run.debugLines);
    EXPECT_EQ(run.debugLines[0].rfind(L"Tessaline: Unable to open named pipe. (", 0), 0u)
        << testing::PrintToString(run.debugLines[0]);
}

TEST(PipeMode, ElevenAttemptsHalfASecondApart)
{
    // Every attempt reaches an instance it cannot use; the downloader sees each one come.
    AttemptRecorder recorder(DownloaderPipeName());
    const ChildResult run = RunProgram(L"Tessaline.exe", L"");
    EXPECT_EQ(run.exitCode, kFail);
    recorder.Stop();
    EXPECT_TRUE(ElevenAttemptsOnePauseApart(recorder.Attempts()));
}

TEST(PipeMode, DownloaderThatStartsLateIsReachedByTheNextAttempt)
{
    // The first attempt finds an instance it cannot use; then there is no pipe until the downloader
    // creates it, about 1.1 s after that attempt.
    const std::wstring name = DownloaderPipeName();
    auto recorder = std::make_unique<AttemptRecorder>(name, 1);
    BackgroundProcess program(L"Tessaline.exe", L"");
    ASSERT_TRUE(recorder->WaitForAttempts(1, 10000));
    const DWORD first = recorder->Attempts().front();
    recorder.reset();
    Sleep(1100 - std::min<DWORD>(GetTickCount() - first, 1100));
    DWORD created = 0;
    IPC::Pipe pipe(name, false, [&] { created = GetTickCount() - first; });
    const DWORD connected = GetTickCount() - first;
    OutputBuffer reply;
    reply.WriteBytes(Bytes({5, 0, 0, 0, 1}));
    EXPECT_EQ(pipe.Read().Content().size(), 92u);
    pipe.Write(reply);
    EXPECT_EQ(program.Wait().exitCode, 0u);
    const DWORD pauses = (created + kRetryPauseMs - 1) / kRetryPauseMs;
    EXPECT_GE(connected, pauses * kRetryPauseMs) << "created " << created << " ms after the first attempt";
    EXPECT_LT(connected, pauses * kRetryPauseMs + kRetryJitterMs)
        << "created " << created << " ms after the first attempt";
}

TEST(PipeMode, WorksAgainstTheDownloaderPeer)
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

TEST(PipeMode, PeerReportsAMalformedRequest)
{
    BackgroundProcess peer(L"DownloaderPeer.exe", L"");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    IPC::Pipe client(DownloaderPipeName(), true);
    OutputBuffer junk;
    junk.WriteBytes(Bytes({9, 9}));
    client.Write(junk);
    EXPECT_EQ(Hex(client.Read().Content()), "05 00 00 00 01");
    const ChildResult peerEnd = peer.Wait();
    EXPECT_EQ(peerEnd.exitCode, 0u);
    EXPECT_NE(peerEnd.output.find("malformed request: Unexpected end of input buffer (2 bytes)"), std::string::npos)
        << peerEnd.output;
}

} // namespace
