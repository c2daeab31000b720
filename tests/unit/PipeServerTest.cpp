// The server loop against real clients on threads: clients that send nothing or too much, the stop with
// clients connected, the first-instance rule. The stand-in downloader's tests take it through the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "PipeServer.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

using Kind = IPC::ServerEvent::Kind;

// A server that answers each request with its length and keeps what happened, kind and error code.
struct CountingServer {
    CountingServer(const std::wstring& name, DWORD requestTimeoutMs)
    {
        IPC::ServerOptions options;
        options.name = name;
        options.requestTimeoutMs = requestTimeoutMs;
        options.maxRequestBytes = 4096;
        const auto answer = [](InputBuffer& request, OutputBuffer& reply) {
            reply.WriteInteger(static_cast<std::int32_t>(request.Content().size()));
            return true;
        };
        server = std::make_unique<IPC::PipeServer>(options, answer, [this](const IPC::ServerEvent& event) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.emplace_back(event.kind, event.error);
        });
    }
    std::size_t Seen(Kind kind, DWORD error = ERROR_SUCCESS)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(seen.begin(), seen.end(), std::make_pair(kind, error));
    }

    std::mutex mutex;
    std::vector<std::pair<Kind, DWORD>> seen;
    std::unique_ptr<IPC::PipeServer> server;
};

TEST(PipeServer, ClientsThatSendNothingOrTooMuchAreDroppedTheOthersServed)
{
    const std::wstring name = UniquePipeName(L"loop");
    CountingServer counting(name, Scaled(500));
    std::atomic<int> missing{0};
    std::vector<std::future<std::wstring>> clients;
    for (std::size_t size : {0u, 5000u, 3000u, 0u, 5000u, 3000u}) {
        clients.push_back(OnThread([&, size] {
            const std::unique_ptr<IPC::Pipe> client = OpenWhileBusy(name, missing);
            OutputBuffer request;
            request.WriteBytes(std::string(size, '\x07'));
            // The silent client sends nothing; the server drops it once its time is up.
            return RaisedBy([&] {
                if (size != 0)
                    client->Write(request);
                EXPECT_EQ(client->Read().ReadInteger(), static_cast<std::int32_t>(size));
            });
        }));
    }
    for (std::size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(clients[i].get(), i % 3 == 2 ? L"(nothing raised)" : L"Pipe disconnected") << i;
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(counting.Seen(Kind::NoRequest, ERROR_TIMEOUT), 2u);
    EXPECT_EQ(counting.Seen(Kind::RequestTooLong), 2u);
    EXPECT_EQ(counting.Seen(Kind::Answered), 2u);
}

TEST(PipeServer, StopEndsItWithClientsConnected)
{
    const std::wstring name = UniquePipeName(L"stop");
    CountingServer counting(name, Scaled(10000));
    std::vector<std::unique_ptr<IPC::Pipe>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(std::make_unique<IPC::Pipe>(name, true));
    for (DWORD waited = 0; counting.Seen(Kind::Connected) < 3 && waited < InnerLimitMs(); waited += 10)
        Sleep(10);
    ASSERT_EQ(counting.Seen(Kind::Connected), 3u);
    counting.server->Stop();
    // The clients are waiting to send: nothing of theirs holds the stop up.
    EXPECT_TRUE(counting.server->Wait(Scaled(1000)));
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
