#include <gtest/gtest.h>

#include <windows.h>

#include "ChildProcess.h"
#include "DownloaderConnection.h"
#include "TestPipes.h"

namespace {

// What an in-test downloader saw of one run of the program.
struct Exchange {
    ChildResult run;
    std::string request;
};

// Serves the downloader pipe once, answers with the reply (or closes when there is none), and runs
// the program against it.
Exchange RunAgainstServer(const std::wstring& arguments, const std::string* reply, DWORD createDelayMs = 0)
{
    const std::wstring name = DownloaderPipeName();
    auto server = OnThread([=]() {
        Sleep(createDelayMs);
        IPC::Pipe pipe(name, false);
        std::string request = pipe.Read().Content();
        if (reply != nullptr) {
            OutputBuffer out;
            out.WriteBytes(*reply);
            pipe.Write(out);
            FlushFileBuffers(pipe.NativeHandle());
        }
        return request;
    });
    if (createDelayMs == 0)
        WaitUntilListening(name);
    Exchange exchange;
    exchange.run = RunProgram(L"Tessaline.exe", arguments);
    if (server.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        exchange.request = server.get();
    else
        IPC::CancelPendingConnect();
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
    EXPECT_EQ(exchange.run.exitCode, 0u);
    EXPECT_EQ(exchange.run.output, "");
}

struct ReplyCase {
    const char* what;
    std::string reply;
    DWORD exitCode;
};

class Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Replies, DecideTheExitCode)
{
    const Exchange exchange = RunAgainstServer(L"", &GetParam().reply);
    ASSERT_TRUE(exchange.run.finished);
    EXPECT_EQ(exchange.run.exitCode, GetParam().exitCode) << GetParam().what;
    EXPECT_EQ(exchange.request.size(), 92u);
}

std::string LongTrueReply()
{
    std::string reply = Bytes({5, 0, 0, 0, 1});
    reply.resize(3000, '\x5A');
    return reply;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Replies,
    ::testing::Values(ReplyCase{"true", Bytes({5, 0, 0, 0, 1}), 0}, ReplyCase{"false", Bytes({5, 0, 0, 0, 0}), kFail},
                      ReplyCase{"non-zero byte", Bytes({5, 0, 0, 0, 0x80}), 0},
                      ReplyCase{"trailing bytes", Bytes({5, 0, 0, 0, 1, 0, 0, 0, 0}), 0},
                      ReplyCase{"3000 bytes", LongTrueReply(), 0}, ReplyCase{"empty", std::string(), kFail},
                      ReplyCase{"3 bytes", Bytes({5, 0, 0}), kFail}, ReplyCase{"tag only", Bytes({5, 0, 0, 0}), kFail},
                      ReplyCase{"String", Bytes({2, 0, 0, 0, 0, 0, 0, 0}), kFail},
                      ReplyCase{"Integer 1", Bytes({0, 0, 0, 0, 1, 0, 0, 0}), kFail}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::to_string(info.index); });

TEST(PipeMode, DownloaderClosingWithoutReplyIsAFailureTracedForADebugger)
{
    const std::wstring name = DownloaderPipeName();
    auto server = OnThread([name] {
        IPC::Pipe pipe(name, false);
        return pipe.Read().Content().size();
    });
    WaitUntilListening(name);
    std::vector<std::wstring> debugLines;
    const ChildResult run = RunUnderDebugger(L"Tessaline.exe", L"", debugLines);
    EXPECT_EQ(server.get(), 92u);
    EXPECT_EQ(run.exitCode, kFail);
    ASSERT_EQ(debugLines.size(), 1u);
    EXPECT_EQ(debugLines[0].rfind(L"Tessaline: Pipe disconnected (", 0), 0u) << testing::PrintToString(debugLines[0]);
    EXPECT_NE(debugLines[0].find(L"Pipe.cpp:"), std::wstring::npos);
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

TEST(PipeMode, NoDownloaderFailsAfterAboutFiveSeconds)
{
    std::vector<std::wstring> debugLines;
    const ChildResult run = RunUnderDebugger(L"Tessaline.exe", L"", debugLines);
    std::printf("no downloader: E_FAIL after %.2f s\n", run.seconds);
    EXPECT_EQ(run.exitCode, kFail);
    // Ten pauses of 500 ms at least; and the program gives up by itself.
    EXPECT_GE(run.seconds, 4.5);
    EXPECT_LT(run.seconds, 5.5 + kStartAllowanceSeconds);
    // One failure, one line: the retry does not report what the exchange reports.
    ASSERT_EQ(debugLines.size(), 1u) << testing::PrintToString(debugLines);
    EXPECT_EQ(debugLines[0].rfind(L"Tessaline: Unable to open named pipe. (", 0), 0u)
        << testing::PrintToString(debugLines[0]);
}

TEST(PipeMode, DownloaderThatStartsLateIsReached)
{
    const std::string reply = Bytes({5, 0, 0, 0, 1});
    const Exchange exchange = RunAgainstServer(L"", &reply, 1200);
    std::printf("late downloader: S_OK after %.2f s\n", exchange.run.seconds);
    EXPECT_EQ(exchange.run.exitCode, 0u);
    // Reached by the first attempt after the pipe appears, not at the end of the retry window.
    EXPECT_GE(exchange.run.seconds, 1.2);
    EXPECT_LT(exchange.run.seconds, 1.2 + 0.5 + kStartAllowanceSeconds);
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

TEST(PipeMode, PeerServesClientsOneAfterAnother)
{
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--clients 3");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(RunProgram(L"Tessaline.exe", L"").exitCode, 0u);
    const ChildResult peerEnd = peer.Wait();
    EXPECT_TRUE(peerEnd.finished);
    EXPECT_NE(peerEnd.output.find("client 3 connected"), std::string::npos) << peerEnd.output;
}

} // namespace
