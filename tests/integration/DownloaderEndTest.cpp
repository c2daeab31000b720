// The downloader's end of the pipe, as the stand-in serves it: undisturbed by this process's cancels,
// and serving through a burst of clients of every kind.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

#include "ChildProcess.h"
#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

// Sends the request and reads the answer, or hangs up without reading it.
std::string Exchange(IPC::Pipe& client, const std::string& request, bool read = true)
{
    OutputBuffer out;
    out.WriteBytes(request);
    client.Write(out);
    return read ? client.Read().Content() : std::string();
}

TEST(DownloaderEnd, CancelLeavesAnotherProcessServingTheNameAlone)
{
    const std::wstring name = UniquePipeName(L"shared");
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--pipe " + name);
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    // Servers of this process beside the peer's instances, each released by a cancel.
    for (int i = 0; i < 3; ++i) {
        std::promise<void> recorded;
        auto server = OnThread([&] { IPC::Pipe own(name, false, [&](HANDLE) { recorded.set_value(); }); });
        recorded.get_future().wait();
        EXPECT_TRUE(IPC::CancelPendingConnect());
        ASSERT_EQ(server.wait_for(std::chrono::milliseconds(InnerLimitMs())), std::future_status::ready)
            << "the cancel did not release this process's own server";
        EXPECT_EQ(RaisedBy([&] { server.get(); }), L"Client failed to connect (HRESULT = 995).");
    }
    // The peer's first and only client is this notice.
    IPC::Pipe client(name, true);
    EXPECT_EQ(Hex(Exchange(client, CompletionRequestBytes())), "05 00 00 00 01");
    const ChildResult peerEnd = peer.Wait();
    EXPECT_EQ(peerEnd.exitCode, 0u);
    EXPECT_NE(peerEnd.output.find("client 1 connected"), std::string::npos) << peerEnd.output;
    EXPECT_EQ(peerEnd.output.find("client 2"), std::string::npos) << peerEnd.output;
}

TEST(DownloaderEnd, StandInServesABurstOfEveryKindOfClient)
{
    SetTestTimeLimit(60);
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--clients 0");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    const std::wstring name = DownloaderPipeName();
    std::vector<std::unique_ptr<BackgroundProcess>> programs;
    for (int i = 0; i < 4; ++i)
        programs.push_back(std::make_unique<BackgroundProcess>(L"Tessaline.exe", L""));
    // Looks, hang-ups and garbage among real notices, all at once; the stand-in answers the garbage
    // false and the notices true.
    std::atomic<int> missing{0};
    std::atomic<int> answered{0};
    std::vector<std::future<void>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(OnThread([&, kind = i % 4] {
            const std::unique_ptr<IPC::Pipe> client = OpenWhileBusy(name, missing);
            const std::string request = kind == 2 ? std::string(2000, '\xEE') : CompletionRequestBytes();
            if (kind == 1)
                Exchange(*client, request, false);
            if (kind >= 2)
                answered += Hex(Exchange(*client, request)) == (kind == 2 ? "05 00 00 00 00" : "05 00 00 00 01");
        }));
    }
    for (auto& client : clients)
        client.get();
    for (const auto& program : programs)
        EXPECT_EQ(program->Wait().exitCode, 0u);
    EXPECT_EQ(answered, 10);
    EXPECT_EQ(missing, 0) << "a client met no instance at all";
    const ChildResult peerEnd = peer.Wait(0);
    EXPECT_EQ(peerEnd.output.find("cannot"), std::string::npos) << peerEnd.output;
}

TEST(DownloaderEnd, ASetupAmongMoreSilentClientsThanWorkersIsAnsweredWithinItsRetryWindow)
{
    SetTestTimeLimit(60);
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--clients 0");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    // More than the stand-in's 64 workers: connected, and never a request.
    std::vector<std::unique_ptr<IPC::Pipe>> silent;
    for (int i = 0; i < 70; ++i)
        silent.push_back(std::make_unique<IPC::Pipe>(DownloaderPipeName(), true));
    const ChildResult run = RunProgram(L"Tessaline.exe", L"");
    EXPECT_EQ(run.exitCode, 0u);
    // At once: well within Tessaline's retry window, and long before the silent clients' 10 s are up.
    EXPECT_LT(run.seconds, Scaled(2000) / 1000.0) << "answered only once the silent clients' time was up";
}

// A client that the server refuses is no setup served: the stand-in told to serve one still serves it after
// more silent clients of this process than it holds, its share and the reserve of its 256 connections.
TEST(DownloaderEnd, StandInCountsNoRefusedClientAsServed)
{
    SetTestTimeLimit(60);
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--clients 1");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    std::vector<UniqueFile> silent;
    DWORD error = ERROR_SUCCESS;
    while (silent.size() < 16 + 2 * 256 && !peer.WaitForOutput("refused", 0))
        ASSERT_TRUE(silent.emplace_back(OpenAtOnce(DownloaderPipeName(), error))) << silent.size() << ": " << error;
    ASSERT_TRUE(peer.WaitForOutput("refused", 0)) << "no client refused";
    EXPECT_EQ(RunProgram(L"Tessaline.exe", L"").exitCode, 0u);
    const ChildResult peerEnd = peer.Wait();
    EXPECT_EQ(peerEnd.exitCode, 0u);
    EXPECT_NE(peerEnd.output.find("reply: 05 00 00 00 01"), std::string::npos) << peerEnd.output;
}

} // namespace
