// The server loop against real clients on threads: clients that send nothing, too much or keep writing,
// handlers that refuse or raise, requests at once and late ones, the stop in every stage of a client, the
// first-instance rule. The stand-in downloader's tests take it through the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>
#include <mutex>
#include <vector>

#include "ChildProcess.h"
#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "ImportSlots.h"
#include "OverlappedIo.h"
#include "PipeServer.h"
#include "ProgramFolder.h"
#include "Raised.h"
#include "ServerState.h"
#include "TestPipes.h"
#include "ThreadCount.h"

// The count of allocations, on threads that are not Exempt, until one fails: 1 fails the next, 0 and below
// none. Every allocation of this test program comes to the operator below, so that a test can make one of
// the server's fail.
static std::atomic<long> AllocationsUntilFailure{0};
static thread_local bool Exempt = false;

void* operator new(std::size_t size)
{
    bool fail = false;
    for (long left = AllocationsUntilFailure.load(); !fail && !Exempt && left > 0;) {
        if (AllocationsUntilFailure.compare_exchange_weak(left, left - 1)) {
            fail = left == 1;
            break;
        }
    }
    void* block = fail ? nullptr : std::malloc(size ? size : 1);
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
    const std::vector<std::string> requests = {"",     std::string(5000, 'x'), "raise",       "refuse",
                                               "long", std::string(3000, 'y'), "long unread", "long gone"};
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
                // One whose client leaves while it waits ends with the write's own error.
                if (request == "long gone")
                    return Sleep(Scaled(300));
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
    EXPECT_EQ(counting.Seen(Kind::ReplyFailed, ERROR_BROKEN_PIPE) + counting.Seen(Kind::ReplyFailed, ERROR_NO_DATA),
              1u);
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
    EXPECT_FALSE(counting.server->Wait(Scaled(100))) << "the stop did not wait for the handler that runs";
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

// The server that the next instance's creation stops; the creation then fails as FailsNow() says.
std::atomic<IPC::PipeServer*> StopDuring{nullptr};
HANDLE WINAPI StopWhileMaking(const wchar_t* name, DWORD open, DWORD mode, DWORD instances, DWORD out, DWORD in,
                              DWORD timeout, SECURITY_ATTRIBUTES* security)
{
    if (IPC::PipeServer* const server = StopDuring.exchange(nullptr))
        server->Stop();
    return StandIn<decltype(&CreateNamedPipeW)>::Failing<&SystemCreateNamedPipeW, -1>(name, open, mode, instances, out,
                                                                                      in, timeout, security);
}

// The stop while an instance is being made: made or not, nothing of it outlives the server.
TEST(PipeServer, StopWhileAnInstanceIsMadeLeavesNoneOfIt)
{
    for (const bool fails : {false, true}) {
        const std::wstring name = UniquePipeName(L"making");
        CountingServer counting(name, Scaled(2000));
        Sleep(Scaled(100)); // the instances listening ahead are made
        FailingCalls = fails ? 1 : 0;
        StopDuring = counting.server.get();
        SetImport(CreateNamedPipeWImport, StopWhileMaking);
        IPC::Pipe client(name, true); // its replacement is made, and the stop comes meanwhile
        const bool stopped = counting.server->Wait(Scaled(1000));
        SetImport(CreateNamedPipeWImport, SystemCreateNamedPipeW);
        FailingCalls = 0;
        ASSERT_TRUE(stopped) << fails;
        EXPECT_EQ(StopDuring.exchange(nullptr), nullptr) << "no instance was made for the client";
        EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "an instance outlives the server";
        EXPECT_EQ(RaisedBy([&] { client.Read(); }), L"Pipe disconnected");
        EXPECT_EQ(counting.Seen(Kind::InstanceFailed, ERROR_NO_SYSTEM_RESOURCES), fails ? 1u : 0u);
    }
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
    // Refused by the system (5), or by the look at the name before it (183), the only refusal under Wine:
    // whether the other server's one instance is free, or busy with a client.
    for (const bool busy : {false, true}) {
        DWORD error = ERROR_SUCCESS;
        const UniqueFile client = busy ? OpenAtOnce(name, error) : UniqueFile();
        const Raised refused = RaisedWithCode([&] { IPC::PipeServer server(options, answer); });
        EXPECT_EQ(refused.message,
                  L"Another server has this pipe name already (Error code: " + std::to_wstring(refused.code) + L")");
        EXPECT_TRUE(refused.code == ERROR_ACCESS_DENIED || refused.code == ERROR_ALREADY_EXISTS) << busy;
    }
    // Where the system refuses it at the creation (Windows, ERROR_ACCESS_DENIED), a free name that another
    // server takes meanwhile: refused the same way.
    options.name = UniquePipeName(L"first-denied");
    FailingError = ERROR_ACCESS_DENIED;
    const Raised denied = WithFailing(FAILING_SLOT(CreateNamedPipeW, -1),
                                      [&] { return RaisedWithCode([&] { IPC::PipeServer server(options, answer); }); });
    FailingError = ERROR_NO_SYSTEM_RESOURCES;
    EXPECT_EQ(denied.code, ERROR_ACCESS_DENIED) << denied.message;
    options.firstInstance = false;
    EXPECT_EQ(RaisedBy([&] { IPC::PipeServer server(options, answer); }), L"(nothing raised)");
}

// The name whose first connect finds a client there already: the stand-in opens it just before.
std::wstring EarlyName;
std::unique_ptr<IPC::Pipe> EarlyClient;
BOOL WINAPI ConnectAfterAClient(HANDLE pipe, OVERLAPPED* overlapped)
{
    if (!EarlyClient)
        EarlyClient = std::make_unique<IPC::Pipe>(EarlyName, true);
    return SystemConnectNamedPipe(pipe, overlapped);
}

// What fails costs the server at its construction, and once it serves the one instance it hit, with an event
// and a pause (200 ms) before the next try, which leaves the stop its bound: a connect that fails at once with
// a lasting error, each thread-pool object the server makes.
TEST(PipeServer, AFailingCallCostsOneInstanceNeverTheServer)
{
    const int lasting = 1000000; // every connect fails
    const auto connects = FAILING_SLOT(ConnectNamedPipe, 0);
    FailingCalls = lasting;
    connects(true);
    CountingServer failing(UniquePipeName(L"noresources"), Scaled(1000));
    Sleep(Scaled(1000));
    failing.server->Stop();
    const bool stopped = failing.server->Wait(Scaled(1000));
    connects(false);
    const int failedConnects = lasting - FailingCalls.exchange(0);
    ASSERT_TRUE(stopped) << "the stop waits for a failing instance";
    EXPECT_LE(failedConnects, static_cast<int>(Scaled(2000) / 200 + 2)) << "a spin makes thousands";
    EXPECT_GE(failing.Seen(Kind::InstanceFailed, ERROR_NO_SYSTEM_RESOURCES), 2u);

    struct Slot {
        const char* call;
        std::function<void(bool)> swap; // the stand-in in the slot, or the system's function back
        bool perInstance;
    };
    const Slot slots[] = {{"CreateNamedPipeW", FAILING_SLOT(CreateNamedPipeW, -1), true},
                          {"CreateThreadpool", FAILING_SLOT(CreateThreadpool, 0), false},
                          {"CreateThreadpoolCleanupGroup", FAILING_SLOT(CreateThreadpoolCleanupGroup, 0), false},
                          {"CreateThreadpoolIo", FAILING_SLOT(CreateThreadpoolIo, 0), true},
                          {"CreateThreadpoolTimer", FAILING_SLOT(CreateThreadpoolTimer, 0), true},
                          {"CreateThreadpoolWork", FAILING_SLOT(CreateThreadpoolWork, 0), true}};
    for (const Slot& slot : slots) {
        const std::wstring slotName = UniquePipeName(L"slot");
        FailingCalls = 1;
        slot.swap(true);
        const Raised raised = RaisedWithCode([&] { CountingServer refused(slotName, Scaled(2000)); });
        EXPECT_EQ(raised.code, ERROR_NO_SYSTEM_RESOURCES) << slot.call;
        if (!slot.perInstance) {
            slot.swap(false);
            continue;
        }
        FailingCalls = 0;
        CountingServer serving(slotName, Scaled(2000));
        ASSERT_TRUE(serving.WaitSeen(Kind::Listening, 1));
        Sleep(Scaled(100)); // the instances listening ahead are made
        FailingCalls = 1;
        IPC::Pipe client(slotName, true); // its replacement's object fails
        EXPECT_TRUE(serving.WaitSeen(Kind::InstanceFailed, 1, ERROR_NO_SYSTEM_RESOURCES)) << slot.call;
        slot.swap(false);
        Send(client, "xy");
        EXPECT_EQ(client.Read().ReadInteger(), 2) << slot.call;
        IPC::Pipe next(slotName, true);
        Send(next, "xyz");
        EXPECT_EQ(next.Read().ReadInteger(), 3) << slot.call;
    }

    // A reply whose write fails at once: its client goes without it, with the event and the call's code.
    const std::wstring replyName = UniquePipeName(L"reply");
    CountingServer replying(replyName, Scaled(2000));
    IPC::Pipe waiting(replyName, true);
    Send(waiting, "wait");
    ASSERT_EQ(WaitForSingleObject(replying.entered.get(), InnerLimitMs()), WAIT_OBJECT_0);
    EXPECT_TRUE(WithFailing(FAILING_SLOT(WriteFile, 0), [&] {
        SetEvent(replying.release.get());
        return replying.WaitSeen(Kind::ReplyFailed, 1, ERROR_NO_SYSTEM_RESOURCES);
    }));
    EXPECT_EQ(RaisedBy([&] { waiting.Read(); }), L"Pipe disconnected");
}

// A client that is there before the first instance's connect, and an observer that raises at every event:
// each is served all the same.
TEST(PipeServer, AnEarlyClientAndAnObserverThatRaisesAreServed)
{
    EarlyName = UniquePipeName(L"early");
    SetImport(ConnectNamedPipeImport, ConnectAfterAClient);
    IPC::ServerOptions options;
    options.name = EarlyName;
    std::atomic<int> observed{0};
    IPC::PipeServer server(
        options,
        [](InputBuffer& request, OutputBuffer& reply) {
            reply.WriteInteger(static_cast<std::int32_t>(request.Content().size()));
            return true;
        },
        [&](const IPC::ServerEvent&) {
            ++observed;
            throw std::runtime_error("the observer's own failure");
        });
    SetImport(ConnectNamedPipeImport, SystemConnectNamedPipe);
    const std::unique_ptr<IPC::Pipe> early = std::move(EarlyClient);
    ASSERT_TRUE(early);
    Send(*early, "abc");
    EXPECT_EQ(early->Read().ReadInteger(), 3);
    server.Stop();
    EXPECT_TRUE(server.Wait(Scaled(2000)));
    EXPECT_GE(observed, 3); // listening, connected, answered
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
// Its further clients take the reserve, four of them, and the eighth is refused and held until its deadline;
// a setup, another process, still gets in at once and is answered.
TEST(PipeServer, OneProcessesClientsCannotFillTheBoundAnotherProcessNeeds)
{
    CountingServer counting(DownloaderPipeName(), Scaled(4000), [](IPC::ServerOptions& options) {
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
    // Held, not closed at once, whatever it sends: a client that is let go comes straight back, and races every
    // setup for each instance that frees.
    DWORD available = 0;
    ASSERT_TRUE(WriteFile(silent.back().get(), "x", 1, &available, nullptr));
    EXPECT_TRUE(PeekNamedPipe(silent.back().get(), nullptr, 0, nullptr, &available, nullptr)) << GetLastError();
    const ChildResult run = RunProgram(L"Tessaline.exe", L"");
    EXPECT_EQ(run.exitCode, 0u) << "after " << run.seconds << " s";
    // And closed at its deadline, as every connection whose request has not come.
    for (DWORD waited = 0;
         waited < InnerLimitMs() && PeekNamedPipe(silent.back().get(), nullptr, 0, nullptr, &available, nullptr);
         waited += 50)
        Sleep(50);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

// Requests at once are handled at once, however many came one after another before: each round's handlers
// answer true only once all of the round are inside them. The rounds also take every place of the bound and
// of the reserve many times over, so that a place not given back shows as a client that finds no instance;
// and the sequential load leaves the loop a few threads, not one a client.
TEST(PipeServer, RequestsAtOnceAreHandledTogetherAfterAnyNumberOfSequentialOnes)
{
    const std::wstring name = UniquePipeName(L"together");
    std::atomic<int> inside{0};
    std::atomic<int> round{0};
    const UniqueHandle all(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    IPC::ServerOptions options;
    options.name = name;
    options.maxConnections = 24;
    options.maxConnectionsPerProcess = 1; // a round's others take the reserve
    IPC::PipeServer server(options, [&](InputBuffer& request, OutputBuffer& reply) {
        bool met = true;
        if (request.Content() == "together") {
            if (++inside == round)
                SetEvent(all.get());
            met = WaitForSingleObject(all.get(), Scaled(5000)) == WAIT_OBJECT_0;
        }
        reply.WriteBoolean(met);
        return true;
    });
    const int threadsBefore = ThreadsOf(GetCurrentProcessId());
    std::atomic<int> missing{0};
    for (const std::pair<int, int>& load : {std::make_pair(40, 2), std::make_pair(260, 20), std::make_pair(0, 20)}) {
        for (int i = 0; i < load.first; ++i) {
            const std::unique_ptr<IPC::Pipe> client = OpenWhileBusy(name, missing);
            Send(*client, "one");
            ASSERT_TRUE(client->Read().ReadBoolean()) << i;
        }
        if (load.first == 40) {
            EXPECT_LE(ThreadsOf(GetCurrentProcessId()), threadsBefore + 4) << "threads for a sequential load";
        }
        inside = 0;
        round = load.second;
        ResetEvent(all.get());
        // Each client sends once the round's all are connected: those past the first take the reserve.
        std::atomic<int> connected{0};
        const UniqueHandle allConnected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::vector<std::future<bool>> clients;
        for (int i = 0; i < load.second; ++i) {
            clients.push_back(OnThread([&] {
                const std::unique_ptr<IPC::Pipe> client = OpenWhileBusy(name, missing);
                if (++connected == load.second)
                    SetEvent(allConnected.get());
                WaitForSingleObject(allConnected.get(), Scaled(5000));
                Send(*client, "together");
                return client->Read().ReadBoolean();
            }));
        }
        for (std::future<bool>& client : clients)
            EXPECT_TRUE(client.get()) << load.second << " at once after " << load.first << " one after another";
    }
    EXPECT_EQ(missing, 0);
}

// Every allocation of the server, from its construction to its stop, made to fail in turn: the N-th for N = 1,
// 2, ... until a run has none left to fail. Each time the server is not made (a wexception, code 8), or the
// client is answered once, or its connection ends with the event that says why; nothing hangs, and Wait()
// keeps its bound. Only the server's allocations are counted: this thread's are exempt, and the observer
// makes none.
TEST(PipeServer, EachAllocationThatFailsCostsOneConnectionAtMost)
{
    Exempt = true;
    std::array<std::atomic<int>, 16> seen = {};
    std::atomic<int> outOfMemory{0};
    const auto observe = [&](const IPC::ServerEvent& event) {
        ++seen[static_cast<std::size_t>(event.kind)];
        outOfMemory += event.error == ERROR_NOT_ENOUGH_MEMORY;
    };
    // A reply longer than a string holds in itself, so that taking it allocates too.
    const auto answer = [](InputBuffer& request, OutputBuffer& reply) {
        reply.WriteBoolean(request.Content() == CompletionRequestBytes());
        reply.WriteBytes(std::string(32, 'r'));
        return true;
    };
    OutputBuffer expected;
    expected.WriteBoolean(true);
    expected.WriteBytes(std::string(32, 'r'));
    IPC::OverlappedIo io;
    long failed = 0;
    for (long n = 1; n < 400; ++n) {
        for (std::atomic<int>& count : seen)
            count = 0;
        outOfMemory = 0;
        IPC::ServerOptions options;
        options.name = UniquePipeName(L"allocation");
        options.maxClients = 2;
        std::unique_ptr<IPC::PipeServer> server;
        Raised raised;
        AllocationsUntilFailure = n;
        Exempt = false;
        try {
            server.reset(new IPC::PipeServer(options, answer, observe));
        } catch (const wexception<std::runtime_error>& error) {
            raised.code = static_cast<long long>(error.error_code());
        } catch (const std::bad_alloc&) {
            raised.code = ERROR_NOT_ENOUGH_MEMORY; // the test's own new, for the server's object
        }
        Exempt = true;
        if (!server) {
            EXPECT_EQ(raised.code, ERROR_NOT_ENOUGH_MEMORY) << n;
            AllocationsUntilFailure = 0;
            ++failed;
            continue;
        }
        // The client once the instances listening ahead are made, and its request once its replacement is: the
        // allocations then come in the same order in every run, so that each is the one that fails in one.
        Sleep(Scaled(20));
        // The notice, from an overlapped client, each of its operations within a time.
        const UniqueFile client(CreateFileW(options.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        Sleep(Scaled(20));
        std::string bytes = CompletionRequestBytes();
        DWORD done = 0;
        DWORD error = client ? io.Finish(client.get(), WriteFile(client.get(), bytes.data(), 92, nullptr, io.Begin()),
                                         done, Scaled(4000))
                             : GetLastError();
        if (error == ERROR_SUCCESS)
            error =
                io.Finish(client.get(), ReadFile(client.get(), &bytes[0], 92, nullptr, io.Begin()), done, Scaled(4000));
        server->Stop();
        EXPECT_TRUE(server->Wait(Scaled(2000))) << n;
        server.reset();
        const long left = AllocationsUntilFailure.exchange(0);
        failed += left <= 0;
        EXPECT_NE(error, static_cast<DWORD>(ERROR_TIMEOUT)) << n << ": the client waits for ever";
        EXPECT_LE(seen[static_cast<std::size_t>(Kind::Answered)], 1) << n;
        if (error != ERROR_SUCCESS || bytes.substr(0, done) != expected.Content()) {
            EXPECT_GE(outOfMemory + seen[static_cast<std::size_t>(Kind::HandlerFailed)], 1) << n << ": lost unsaid";
        }
        if (left > 0)
            break; // the run had no allocation left to fail
    }
    EXPECT_GT(failed, 5) << "the runs made no allocation fail";
}

// What the options ask for is served, or refused at the construction with the reason.
TEST(PipeServer, TheOptionsServeOrAreRefusedAtTheConstruction)
{
    struct Case {
        std::function<void(IPC::ServerOptions&)> adjust;
        const wchar_t* refusal; // nullptr: served
    };
    const Case cases[] = {
        {[](IPC::ServerOptions& options) {
             options.grantSid = L"S-1-15-2-1";
             options.securityDescriptor = L"D:(A;;GA;;;WD)";
         },
         L"A grant SID and a security descriptor cannot both be given"},
        {[](IPC::ServerOptions& options) { options.grantSid = L"not a SID"; },
         L"Unable to build the security descriptor of the _EPM instance"},
        {[](IPC::ServerOptions& options) { options.name = L"\\\\.\\no-pipe-here"; },
         L"Unable to create a pipe instance (Error code: 123)"},
        {[](IPC::ServerOptions& options) {
             options.inheritable = true;
             options.rejectRemoteClients = false;
             options.firstInstance = false;
             options.requestTimeoutMs = INFINITE;
             options.replyReadMs = INFINITE;
         },
         nullptr},
    };
    // The elevated downloader's descriptor, when its user cannot be read: each call's failure raised with its
    // code, as the caller's own would be.
    const std::pair<std::function<void(bool)>, const wchar_t*> reads[] = {
        {FAILING_SLOT(OpenProcessToken, 0), L"OpenProcessToken failed (Error code: 1450)"},
        {FAILING_SLOT(GetTokenInformation, 0), L"GetTokenInformation failed (Error code: 1450)"},
        {FAILING_SLOT(ConvertSidToStringSidW, 0), L"ConvertSidToStringSidW failed (Error code: 1450)"}};
    for (const auto& read : reads) {
        FailingCalls = 2; // the size's query, then the read
        read.first(true);
        const std::wstring raised = RaisedBy([] { IPC::ElevatedServerSddl(); });
        read.first(false);
        EXPECT_EQ(raised, read.second);
    }
    FailingCalls = 0;
    EXPECT_EQ(IPC::ElevatedServerSddl().find(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;S-1-"), 0u);
    for (const Case& test : cases) {
        const std::wstring name = UniquePipeName(L"options");
        const auto adjust = [&](IPC::ServerOptions& options) {
            options.name = name;
            test.adjust(options);
        };
        if (test.refusal != nullptr) {
            EXPECT_EQ(RaisedBy([&] { CountingServer refused(name, Scaled(2000), adjust); }), test.refusal);
            continue;
        }
        CountingServer counting(name, Scaled(2000), adjust);
        IPC::Pipe client(name, true);
        Send(client, "four");
        EXPECT_EQ(client.Read().ReadInteger(), 4);
    }
}

// The counts' own check: a count taken below zero, or one that no longer matches its records, is named.
TEST(ServerState, ACountThatDriftsFromItsRecordsIsNamed)
{
    // Each drift of a record from its counts, and the count it is named by.
    struct Drift {
        std::function<void(IPC::ConnectionEntry&, IPC::ConnectionEntry&)> plant;
        const char* count;
    };
    const Drift drifts[] = {
        {[](IPC::ConnectionEntry& first, IPC::ConnectionEntry&) { first.stage = IPC::Stage::Listening; }, "listening"},
        {[](IPC::ConnectionEntry&, IPC::ConnectionEntry& second) { second.budget = IPC::Budget::Bound; }, "bound"},
        {[](IPC::ConnectionEntry& first, IPC::ConnectionEntry&) { first.processId = 8; }, "process"},
        {[](IPC::ConnectionEntry&, IPC::ConnectionEntry& second) { second.countedForProcess = false; }, "reserve"},
        {[](IPC::ConnectionEntry& first, IPC::ConnectionEntry&) { first.countedForProcess = false; }, "share"},
        {[](IPC::ConnectionEntry& first, IPC::ConnectionEntry& second) { first.processId = second.processId = 8; },
         "share"},
        {[](IPC::ConnectionEntry&, IPC::ConnectionEntry& second) {
             static IPC::ConnectionEntry unknown; // a record on the list that no count knows of
             unknown.stage = IPC::Stage::Ended;
             unknown.next = second.next;
             second.next = &unknown;
         },
         "alive"},
    };
    for (const Drift& drift : drifts) {
        IPC::ServerState drifting(IPC::ServerLimits{2, 4, 1, 4});
        IPC::ConnectionEntry first, second;
        for (IPC::ConnectionEntry* entry : {&first, &second}) {
            ASSERT_TRUE(drifting.ReserveInstance());
            ASSERT_TRUE(drifting.InstanceMade(*entry));
            drifting.Connect(*entry, 7);
        }
        drift.plant(first, second);
        EXPECT_STREQ(drifting.Broken(), drift.count);
    }

    IPC::ServerState state(IPC::ServerLimits{2, 4, 1, 4});
    IPC::ConnectionEntry first;
    IPC::ConnectionEntry second;
    for (IPC::ConnectionEntry* entry : {&first, &second}) {
        ASSERT_TRUE(state.ReserveInstance());
        ASSERT_TRUE(state.InstanceMade(*entry));
    }
    EXPECT_FALSE(state.ReserveInstance()) << "two listen ahead at most";
    EXPECT_EQ(state.Connect(first, 7), IPC::Admission::Read);
    EXPECT_EQ(state.Connect(second, 7), IPC::Admission::Read); // past the share: its process's reserve
    EXPECT_EQ(second.budget, IPC::Budget::Reserve);
    EXPECT_EQ(state.Broken(), nullptr);
    state.End(first);
    EXPECT_EQ(state.Broken(), nullptr);
    first.budget = IPC::Budget::Bound; // the same connection ended twice
#ifdef NDEBUG
    state.End(first);
    EXPECT_STREQ(state.Broken(), "bound");
#else
    EXPECT_DEATH(state.End(first), "records: bound"); // a debug build stops at the change itself
#endif
}

} // namespace
