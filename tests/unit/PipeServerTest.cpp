// The server loop against real clients on threads: clients that send nothing, too much or keep writing,
// handlers that refuse or raise, requests at once and late ones, the stop in every stage of a client, the
// first-instance rule. The stand-in downloader's tests take it through the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <mutex>
#include <vector>

#include "ChildProcess.h"
#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "OverlappedIo.h"
#include "PipeServer.h"
#include "ProgramFolder.h"
#include "Raised.h"
#include "ServerConnection.h"
#include "TestPipes.h"

// The size of the next allocation to fail, once; 0 for none. Every allocation of this test program comes
// to the operator below, so that a test can make one of the server's fail.
static std::atomic<std::size_t> FailAllocationOf{0};

void* operator new(std::size_t size)
{
    std::size_t armed = size;
    void* block =
        size != 0 && FailAllocationOf.compare_exchange_strong(armed, 0) ? nullptr : std::malloc(size ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

namespace {

using Kind = IPC::ServerEvent::Kind;

// A server that answers the completion notice with true, each other request with its length, or as the
// request's text says ("raise", "refuse", "wait" for `release`, "long"), and keeps what happened, kind and
// error code. With `holdConnected` set, the listener's next Connected event waits for `release`.
struct CountingServer {
    CountingServer(const std::wstring& name, DWORD requestTimeoutMs,
                   const std::function<void(IPC::ServerOptions&)>& adjust = nullptr)
        : entered(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        IPC::ServerOptions options;
        options.name = name;
        options.requestTimeoutMs = requestTimeoutMs;
        options.maxRequestBytes = 4096;
        options.replyReadMs = Scaled(1000);
        if (adjust)
            adjust(options);
        const auto answer = [this](InputBuffer& request, OutputBuffer& reply) {
            ++handled;
            const std::string text = request.Content();
            if (text == CompletionRequestBytes()) {
                reply.WriteBoolean(true);
                return true;
            }
            if (text == "raise")
                RAISE_WEXCEPTION(L"the handler's own failure");
            if (text == "wait") {
                SetEvent(entered.get());
                WaitForSingleObject(release.get(), InnerLimitMs());
            }
            reply.WriteInteger(static_cast<std::int32_t>(text.size()));
            if (text.compare(0, 4, "long") == 0)
                reply.WriteBytes(std::string(3 * IPC::kPipeBufferSize, 'r')); // waits for the client to read it
            return text != "refuse";
        };
        server = std::make_unique<IPC::PipeServer>(options, answer, [this](const IPC::ServerEvent& event) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                seen.emplace_back(event.kind, event.error);
            }
            if (event.kind == Kind::Connected && holdConnected.exchange(false)) {
                SetEvent(entered.get());
                WaitForSingleObject(release.get(), InnerLimitMs());
            }
        });
    }
    std::size_t Seen(Kind kind, DWORD error = ERROR_SUCCESS)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(seen.begin(), seen.end(), std::make_pair(kind, error));
    }
    bool WaitSeen(Kind kind, std::size_t count, DWORD error = ERROR_SUCCESS, DWORD timeoutMs = InnerLimitMs())
    {
        for (DWORD waited = 0; Seen(kind, error) < count && waited < timeoutMs; waited += 10)
            Sleep(10);
        return Seen(kind, error) >= count;
    }

    UniqueHandle entered;
    UniqueHandle release;
    std::atomic<bool> holdConnected{false};
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
    const std::vector<std::string> requests = {"",     std::string(5000, 'x'), "raise",      "refuse",
                                               "long", std::string(3000, 'y'), "long unread"};
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
                // One never read holds its worker for replyReadMs only.
                if (request == "long unread")
                    return Sleep(Scaled(2500));
                InputBuffer reply = client->Read();
                EXPECT_EQ(reply.ReadInteger(), static_cast<std::int32_t>(request.size()));
                // The whole reply, however long: the event said so.
                EXPECT_EQ(reply.Content().size(), request == "long" ? 8 + 3 * IPC::kPipeBufferSize : 8);
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
    EXPECT_EQ(counting.Seen(Kind::ReplyFailed, ERROR_TIMEOUT), 1u);
}

TEST(PipeServer, SilentClientsHoldNoWorkerAndALateRequestWithinItsTimeIsServedAtOnce)
{
    const std::wstring name = UniquePipeName(L"silent");
    CountingServer counting(name, Scaled(3000), [](IPC::ServerOptions& options) { options.maxClients = 2; });
    // Two requests that the handler answers only when both are inside it: served at once, the second
    // although it comes half its time after its connection, and both from instances that listened for
    // longer than that time (it counts from the connection).
    Sleep(Scaled(3500));
    IPC::Pipe first(name, true);
    IPC::Pipe late(name, true);
    std::vector<std::unique_ptr<IPC::Pipe>> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(std::make_unique<IPC::Pipe>(name, true));
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
    CountingServer counting(name, Scaled(10000), [](IPC::ServerOptions& options) { options.maxClients = 1; });
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
    EXPECT_EQ(counting.Seen(Kind::Dropped), 1u) << "the queued request's end went unreported";
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
    CountingServer counting(name, Scaled(10000),
                            [](IPC::ServerOptions& options) { options.replyReadMs = Scaled(5000); });
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
    EXPECT_TRUE(counting.WaitSeen(Kind::Answered, 1, ERROR_SUCCESS, Scaled(1000)));
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

std::atomic<int> FailedConnects{0};
BOOL WINAPI FailConnect(HANDLE, LPOVERLAPPED)
{
    ++FailedConnects;
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return FALSE;
}
HANDLE WINAPI FailCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// What fails on the listener costs the instance or the worker it hit, with an event: a connect that fails at
// once with a lasting error is tried again once a pause (200 ms) and leaves the stop its bound; an instance
// whose record finds no memory is given up, and the clients are served.
TEST(PipeServer, AFailureOnTheListenerCostsOneInstanceNeverTheServer)
{
    FailedConnects = 0;
    SetImport(ConnectNamedPipeImport, FailConnect);
    CountingServer failing(UniquePipeName(L"noresources"), Scaled(1000));
    Sleep(Scaled(1000));
    failing.server->Stop();
    const bool stopped = failing.server->Wait(Scaled(1000));
    SetImport(ConnectNamedPipeImport, SystemConnectNamedPipe);
    ASSERT_TRUE(stopped) << "the listener never reached the stop";
    EXPECT_LE(FailedConnects, static_cast<int>(Scaled(2000) / 200 + 2)) << "a spin makes thousands";
    EXPECT_GE(failing.Seen(Kind::InstanceFailed, ERROR_NO_SYSTEM_RESOURCES), 2u);

    const std::wstring name = UniquePipeName(L"memory");
    CountingServer counting(name, Scaled(2000));
    FailAllocationOf = sizeof(IPC::ServerConnection); // the next instance's, or the one that replaces `first`'s
    IPC::Pipe first(name, true);
    EXPECT_TRUE(counting.WaitSeen(Kind::InstanceFailed, 1, ERROR_NOT_ENOUGH_MEMORY));
    // No thread for a worker: the request waits, and once the system gives one again, a pause later, is served.
    SetImport(CreateThreadImport, FailCreateThread);
    Send(first, "x");
    const bool workerFailed = counting.WaitSeen(Kind::WorkerFailed, 1, ERROR_NOT_ENOUGH_MEMORY);
    SetImport(CreateThreadImport, SystemCreateThread); // before any failure: GoogleTest's own threads need it
    EXPECT_TRUE(workerFailed);
    IPC::Pipe second(name, true);
    Send(second, "x");
    for (IPC::Pipe* client : {&first, &second})
        EXPECT_EQ(client->Read().ReadInteger(), 1);
}

TEST(PipeServer, InstancesListenAheadOfABurst)
{
    // As many as requests are served at once: with the listener held at its first client, each client of a
    // burst still finds one.
    const std::wstring burst = UniquePipeName(L"burst");
    CountingServer ahead(burst, Scaled(5000), [](IPC::ServerOptions& options) { options.maxClients = 4; });
    ahead.holdConnected = true;
    IPC::Pipe first(burst, true);
    ASSERT_EQ(WaitForSingleObject(ahead.entered.get(), InnerLimitMs()), WAIT_OBJECT_0);
    std::vector<UniqueFile> clients;
    DWORD error = ERROR_SUCCESS;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(clients.emplace_back(OpenAtOnce(burst, error))) << i << ": " << error;
    SetEvent(ahead.release.get());
}

// Up to the bound of four: with three of this process's clients connected, the one instance left listens.
// Its further clients take the reserve, four of them, and the eighth is refused; a setup, another process,
// still gets in at once and is answered.
TEST(PipeServer, OneProcessesClientsCannotFillTheBoundAnotherProcessNeeds)
{
    CountingServer counting(DownloaderPipeName(), Scaled(10000), [](IPC::ServerOptions& options) {
        options.maxClients = 1;
        options.maxConnections = 4;
        options.maxConnectionsPerProcess = 3;
    });
    std::vector<UniqueFile> silent;
    DWORD error = ERROR_SUCCESS;
    for (std::size_t i = 1; i <= 8; ++i) {
        ASSERT_TRUE(silent.emplace_back(OpenAtOnce(DownloaderPipeName(), error))) << i << ": " << error;
        ASSERT_TRUE(counting.WaitSeen(Kind::Connected, i));
    }
    EXPECT_EQ(counting.Seen(Kind::Refused), 1u);
    const ChildResult run = RunProgram(L"Tessaline.exe", L"");
    EXPECT_EQ(run.exitCode, 0u) << "after " << run.seconds << " s";
}

} // namespace
