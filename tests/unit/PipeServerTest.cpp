// The server loop against real clients on threads: clients that send nothing, too much or keep writing,
// handlers that refuse or raise, requests at once and late ones, the stop in every stage of a client, the
// first-instance rule. The stand-in downloader's tests take it through the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "OverlappedIo.h"
#include "PipeServer.h"
#include "ProgramFolder.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

using Kind = IPC::ServerEvent::Kind;

// A server that answers each request with its length, or as the request's text says ("raise", "refuse",
// "wait" for `release`), and keeps what happened, kind and error code.
struct CountingServer {
    explicit CountingServer(const std::wstring& name, DWORD requestTimeoutMs, unsigned maxClients = 64,
                            DWORD replyReadMs = Scaled(1000))
        : entered(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        IPC::ServerOptions options;
        options.name = name;
        options.requestTimeoutMs = requestTimeoutMs;
        options.maxRequestBytes = 4096;
        options.maxClients = maxClients;
        options.replyReadMs = replyReadMs;
        const auto answer = [this](InputBuffer& request, OutputBuffer& reply) {
            ++handled;
            const std::string text = request.Content();
            if (text == "raise")
                RAISE_WEXCEPTION(L"the handler's own failure");
            if (text == "wait") {
                SetEvent(entered.get());
                WaitForSingleObject(release.get(), InnerLimitMs());
            }
            reply.WriteInteger(static_cast<std::int32_t>(text.size()));
            if (text == "long")
                reply.WriteBytes(std::string(3 * IPC::kPipeBufferSize, 'r')); // waits for the client to read it
            return text != "refuse";
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
    bool WaitSeen(Kind kind, std::size_t count, DWORD timeoutMs = InnerLimitMs())
    {
        for (DWORD waited = 0; Seen(kind) < count && waited < timeoutMs; waited += 10)
            Sleep(10);
        return Seen(kind) >= count;
    }

    UniqueHandle entered;
    UniqueHandle release;
    std::atomic<int> handled{0};
    std::mutex mutex;
    std::vector<std::pair<Kind, DWORD>> seen;
    std::unique_ptr<IPC::PipeServer> server;
};

void Send(IPC::Pipe& client, const std::string& text)
{
    OutputBuffer request;
    request.WriteBytes(text);
    client.Write(request);
}

TEST(PipeServer, EachClientThatMisbehavesOrIsRefusedEndsOnlyItself)
{
    const std::wstring name = UniquePipeName(L"loop");
    CountingServer counting(name, Scaled(500));
    std::atomic<int> missing{0};
    std::vector<std::future<std::wstring>> clients;
    const std::vector<std::string> requests = {"",     std::string(5000, 'x'), "raise", "refuse",
                                               "long", std::string(3000, 'y')};
    for (const std::string& request : requests) {
        clients.push_back(OnThread([&, request] {
            const std::unique_ptr<IPC::Pipe> client = OpenWhileBusy(name, missing);
            // The silent client sends nothing; the server drops it once its time is up.
            return RaisedBy([&] {
                if (!request.empty())
                    Send(*client, request);
                // A reply longer than the pipe's buffer waits, within replyReadMs, for a client that reads late.
                if (request == "long")
                    Sleep(Scaled(300));
                EXPECT_EQ(client->Read().ReadInteger(), static_cast<std::int32_t>(request.size()));
            });
        }));
    }
    for (std::size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(clients[i].get(), i >= 4 ? L"(nothing raised)" : L"Pipe disconnected") << i;
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(counting.Seen(Kind::NoRequest, ERROR_TIMEOUT), 1u);
    EXPECT_EQ(counting.Seen(Kind::RequestTooLong), 1u);
    EXPECT_EQ(counting.Seen(Kind::HandlerFailed), 1u);
    EXPECT_EQ(counting.Seen(Kind::NotAnswered), 1u);
    EXPECT_EQ(counting.Seen(Kind::Answered), 2u);
}

TEST(PipeServer, SilentClientsHoldNoWorkerAndALateRequestWithinItsTimeIsServedAtOnce)
{
    const std::wstring name = UniquePipeName(L"silent");
    CountingServer counting(name, Scaled(3000), 2);
    std::vector<std::unique_ptr<IPC::Pipe>> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(std::make_unique<IPC::Pipe>(name, true));
    // Two requests that the handler answers only when both are inside it: served at once, the second
    // although it comes half its time after its connection.
    IPC::Pipe first(name, true);
    IPC::Pipe late(name, true);
    Send(first, "wait");
    auto firstAnswer = OnThread([&] { return first.Read().ReadInteger(); });
    ASSERT_EQ(WaitForSingleObject(counting.entered.get(), InnerLimitMs()), WAIT_OBJECT_0);
    ResetEvent(counting.entered.get());
    Sleep(Scaled(1500));
    const DWORD sent = GetTickCount();
    Send(late, "wait");
    ASSERT_EQ(WaitForSingleObject(counting.entered.get(), Scaled(1000)), WAIT_OBJECT_0)
        << "the late request waits behind the first, or was dropped";
    SetEvent(counting.release.get());
    EXPECT_EQ(late.Read().ReadInteger(), 4);
    EXPECT_LT(GetTickCount() - sent, Scaled(1000));
    EXPECT_EQ(firstAnswer.get(), 4);
}

TEST(PipeServer, StopEndsItWithClientsInEveryStage)
{
    const std::wstring name = UniquePipeName(L"stop");
    CountingServer counting(name, Scaled(10000), 1);
    IPC::Pipe served(name, true);
    Send(served, "wait");
    ASSERT_EQ(WaitForSingleObject(counting.entered.get(), InnerLimitMs()), WAIT_OBJECT_0);
    IPC::Pipe queued(name, true);
    Send(queued, "queued");
    IPC::Pipe silent(name, true);
    ASSERT_TRUE(counting.WaitSeen(Kind::Connected, 3));
    // A child that inherits every inheritable handle of this process, instances of the server's included.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    std::wstring command = L"\"" + ProgramFolder() + L"Tessaline.exe\"";
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                               &startup, &child));
    const UniqueHandle childThread(child.hThread);
    const std::unique_ptr<void, void (*)(HANDLE)> childProcess(child.hProcess, [](HANDLE process) {
        TerminateProcess(process, 0);
        CloseHandle(process);
    });

    counting.server->Stop();
    SetEvent(counting.release.get());
    // The reply being written keeps its time; nothing else holds the stop up.
    EXPECT_TRUE(counting.server->Wait(Scaled(1000)));
    ASSERT_FALSE(WaitNamedPipeW(name.c_str(), 0)) << "an instance outlives the server";
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "an instance outlives the server";
    EXPECT_EQ(served.Read().ReadInteger(), 4);
    for (IPC::Pipe* client : {&queued, &silent})
        EXPECT_EQ(RaisedBy([&] { client->Read(); }), L"Pipe disconnected");
    EXPECT_EQ(counting.handled, 1) << "a request was handled after the stop";
}

// Keeps four writes in flight on an overlapped client, each issued again as soon as the server has taken
// it, until the server's end is gone.
void KeepWriting(HANDLE client)
{
    struct Write {
        UniqueHandle event = IPC::NewEvent();
        OVERLAPPED overlapped = {};
        bool inFlight = false;
    };
    std::vector<Write> writes(4);
    std::vector<HANDLE> events;
    for (Write& write : writes) {
        SetEvent(write.event.get()); // free to be issued
        events.push_back(write.event.get());
    }
    const std::string filler(512, 'w');
    for (;;) {
        Write& write = writes[WaitForMultipleObjects(4, events.data(), FALSE, INFINITE) - WAIT_OBJECT_0];
        DWORD written = 0;
        if (write.inFlight && !GetOverlappedResult(client, &write.overlapped, &written, FALSE))
            break;
        write.overlapped = OVERLAPPED();
        write.overlapped.hEvent = write.event.get();
        write.inFlight =
            WriteFile(client, filler.data(), 512, nullptr, &write.overlapped) || GetLastError() == ERROR_IO_PENDING;
        if (!write.inFlight)
            break;
    }
    CancelIoEx(client, nullptr);
    for (Write& write : writes) {
        DWORD ignored = 0;
        if (write.inFlight)
            GetOverlappedResult(client, &write.overlapped, &ignored, TRUE);
    }
}

TEST(PipeServer, AClientThatKeepsWritingHoldsNeitherItsWorkerNorTheStopAndStillFindsItsReply)
{
    const std::wstring name = UniquePipeName(L"writer");
    CountingServer counting(name, Scaled(10000), 64, Scaled(5000));
    const UniqueFile client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(client);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr));
    IPC::OverlappedIo io;
    DWORD bytes = 0;
    ASSERT_EQ(
        io.Finish(client.get(), WriteFile(client.get(), "request", 7, nullptr, io.Begin()), bytes, InnerLimitMs()),
        static_cast<DWORD>(ERROR_SUCCESS));
    auto writer = OnThread([&] { KeepWriting(client.get()); });
    // The reply is written and its instance closed at once, not once this client hangs up or replyReadMs ends.
    EXPECT_TRUE(counting.WaitSeen(Kind::Answered, 1, Scaled(1000)));
    counting.server->Stop();
    EXPECT_TRUE(counting.server->Wait(Scaled(1000)));
    writer.get();
    // Closed, not disconnected: the reply is still there to read (DisconnectNamedPipe would have dropped it).
    char reply[16] = {};
    EXPECT_EQ(io.Finish(client.get(), ReadFile(client.get(), reply, sizeof reply, nullptr, io.Begin()), bytes,
                        InnerLimitMs()),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Hex(std::string(reply, bytes)), "00 00 00 00 07 00 00 00");
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
