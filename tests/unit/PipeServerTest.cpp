// The server loop against real clients on threads: what each kind of client leaves behind, a burst, the
// first-instance rule and the stop.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "PipeServer.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

using Kind = IPC::ServerEvent::Kind;

// A server that answers each request with its length, and counts what happened to each client.
class CountingServer {
public:
    explicit CountingServer(const std::wstring& name, DWORD requestTimeoutMs = Scaled(10000))
    {
        IPC::ServerOptions options;
        options.name = name;
        options.requestTimeoutMs = requestTimeoutMs;
        options.maxRequestBytes = 4096;
        server_ = std::make_unique<IPC::PipeServer>(
            options,
            [](InputBuffer& request, OutputBuffer& reply) {
                reply.WriteInteger(static_cast<std::int32_t>(request.Content().size()));
                return true;
            },
            [this](const IPC::ServerEvent& event) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++seen_[{event.kind, event.error}];
            });
    }
    IPC::PipeServer& Server() { return *server_; }
    unsigned Seen(Kind kind, DWORD error = ERROR_SUCCESS)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_[{kind, error}];
    }

private:
    std::mutex mutex_;
    std::map<std::pair<Kind, DWORD>, unsigned> seen_;
    std::unique_ptr<IPC::PipeServer> server_;
};

TEST(PipeServer, EveryKindOfClientLeavesItServing)
{
    const std::wstring name = UniquePipeName(L"loop");
    CountingServer counting(name, Scaled(500));
    std::atomic<int> missing{0};
    std::atomic<int> answered{0};
    // Each kind of client a few times, all at once, with real exchanges among them.
    enum Client { Look, HangUp, Silent, Empty, Long, TooLong, Exchange, Kinds };
    std::vector<std::future<void>> clients;
    for (int i = 0; i < 4 * Kinds; ++i) {
        clients.push_back(OnThread([&, kind = i % Kinds] {
            std::unique_ptr<IPC::Pipe> client = OpenWhileBusy(name, missing);
            if (kind == Look)
                return;
            if (kind == Silent) {
                EXPECT_EQ(RaisedBy([&] { client->Read(); }), L"Pipe disconnected");
                return;
            }
            OutputBuffer request;
            const std::size_t sizes[Kinds] = {0, 92, 0, 0, 3000, 5000, 92};
            request.WriteBytes(std::string(sizes[kind], '\x07'));
            client->Write(request);
            if (kind == HangUp)
                return;
            const std::wstring raised =
                RaisedBy([&] { answered += client->Read().ReadInteger() == static_cast<std::int32_t>(sizes[kind]); });
            EXPECT_EQ(raised, kind == TooLong ? L"Pipe disconnected" : L"(nothing raised)") << kind;
        }));
    }
    for (auto& client : clients)
        client.get();
    counting.Server().Stop();
    ASSERT_TRUE(counting.Server().Wait(InnerLimitMs()));
    EXPECT_EQ(missing, 0) << "a client met no instance at all";
    EXPECT_EQ(answered, 4 * 3);
    // A hang-up may be answered before it hangs up, and a look may leave before the server sees it.
    EXPECT_GE(counting.Seen(Kind::Answered), 4u * 3);
    EXPECT_EQ(counting.Seen(Kind::NoRequest, ERROR_TIMEOUT), 4u);
    EXPECT_EQ(counting.Seen(Kind::RequestTooLong), 4u);
}

TEST(PipeServer, StopEndsItWithClientsConnected)
{
    const std::wstring name = UniquePipeName(L"stop");
    CountingServer counting(name);
    std::vector<std::unique_ptr<IPC::Pipe>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(std::make_unique<IPC::Pipe>(name, true));
    for (DWORD waited = 0; counting.Seen(Kind::Connected) < 3 && waited < InnerLimitMs(); waited += 10)
        Sleep(10);
    ASSERT_EQ(counting.Seen(Kind::Connected), 3u);
    const DWORD start = GetTickCount();
    counting.Server().Stop();
    // The clients are waiting to send: nothing of theirs holds the stop up.
    EXPECT_TRUE(counting.Server().Wait(Scaled(1000)));
    std::printf("stopped with 3 clients connected in %lu ms\n", GetTickCount() - start);
    for (const auto& client : clients)
        EXPECT_EQ(RaisedBy([&] { client->Read(); }), L"Pipe disconnected");
    EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(PipeServer, FirstInstanceRefusesANameServedAlready)
{
    const std::wstring name = UniquePipeName(L"first");
    const UniqueFile other(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                            PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, nullptr));
    ASSERT_TRUE(other);
    IPC::ServerOptions options;
    options.name = name;
    const auto answer = [](InputBuffer&, OutputBuffer&) { return false; };
    // Refused by the system (5), or by the look at the name before it (183), the only refusal under Wine.
    const Raised refused = RaisedWithCode([&] { IPC::PipeServer server(options, answer); });
    EXPECT_EQ(refused.message,
              L"Another server has this pipe name already (Error code: " + std::to_wstring(refused.code) + L")");
    EXPECT_TRUE(refused.code == ERROR_ACCESS_DENIED || refused.code == ERROR_ALREADY_EXISTS) << refused.code;
    options.firstInstance = false;
    EXPECT_EQ(RaisedBy([&] { IPC::PipeServer server(options, answer); }), L"(nothing raised)");
}

} // namespace
