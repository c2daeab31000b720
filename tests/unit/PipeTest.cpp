#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "HandleCount.h"
#include "ImportSlots.h"
#include "OverlappedIo.h"
#include "Pipe.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

using IPC::Pipe;

// Whether the record holds a waiting server, read under its lock.
bool AnyServerWaiting()
{
    EnterCriticalSection(&IPC::PendingConnect.lock);
    const bool waiting = IPC::PendingConnect.servers != nullptr;
    LeaveCriticalSection(&IPC::PendingConnect.lock);
    return waiting;
}

// A server of the name on a thread, returned once it is registered as waiting; then it runs `observe`.
std::future<std::shared_ptr<Pipe>> Waiting(const std::wstring& name, std::function<void()> observe = [] {})
{
    auto registered = std::make_shared<std::promise<void>>();
    auto server = OnThread(
        [=] { return std::make_shared<Pipe>(name, false, [&](HANDLE) { registered->set_value(), observe(); }); });
    registered->get_future().wait();
    return server;
}

BOOL WINAPI CancelThenConnect(HANDLE pipe, LPOVERLAPPED overlapped)
{
    EXPECT_TRUE(IPC::CancelPendingConnect());
    return SystemConnectNamedPipe(pipe, overlapped);
}

TEST(Pipe, ClientFailuresNameTheirCause)
{
    // A missing pipe fails at once, without the wait that is meant for a busy one.
    const DWORD start = GetTickCount();
    const Raised missing = RaisedWithCode([] { Pipe(UniquePipeName(L"missing"), true); });
    EXPECT_LT(GetTickCount() - start, 2500u);
    EXPECT_EQ(missing.message, L"Unable to connect to a named pipe (Error code: 2)");
    EXPECT_EQ(missing.code, ERROR_FILE_NOT_FOUND);

    // A byte pipe cannot be read in message mode. Natively the count is the process's, the system's own
    // included: a first failure, on an instance of its own, makes what the system makes on first use and
    // keeps (the error text's message table, say), so the count starts after it, and the system's thread
    // pool may still move it by its tolerance.
    const std::wstring name = UniquePipeName(L"bytes");
    const auto byteInstance = [&] {
        return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 2, 1024, 1024, 0, nullptr);
    };
    const UniqueFile bytePipe(byteInstance()), firstUse(byteInstance());
    ASSERT_TRUE(bytePipe && firstUse);
    RaisedWithCode([&] { Pipe(name, true); });
    // Once more than the tolerance, so that a handle lost on every failure shows.
    const DWORD handlesBefore = HandleCount();
    for (DWORD i = 0; i <= HandleTolerance(); ++i) {
        const Raised bytes = RaisedWithCode([&] { Pipe(name, true); });
        EXPECT_EQ(bytes.message, L"SetNamedPipeHandleState failed (HRESULT = 87).");
        EXPECT_EQ(bytes.code, ERROR_INVALID_PARAMETER);
    }
    EXPECT_LE(HandleCount(), handlesBefore + HandleTolerance());
}

// A server whose wait or instance cannot be made raises the call's code, and leaves no instance behind.
TEST(Pipe, ServerFailuresRaiseTheirCodeAndLeaveNoInstance)
{
    const std::pair<std::function<void(bool)>, const wchar_t*> calls[] = {
        {FAILING_SLOT(CreateThreadpoolTimer, 0), L"CreateThreadpoolTimer failed (HRESULT = 1450)."},
        {FAILING_SLOT(CreateNamedPipeW, -1), L"Unable to connect to a named pipe (Error code: 1450)"}};
    for (const auto& call : calls) {
        const std::wstring name = UniquePipeName(L"unmade");
        const Raised raised = WithFailing(call.first, [&] { return RaisedWithCode([&] { Pipe(name, false); }); });
        EXPECT_EQ(raised.message, call.second);
        EXPECT_EQ(raised.code, ERROR_NO_SYSTEM_RESOURCES);
        EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "an instance was left";
    }
    const Raised noEvent =
        WithFailing(FAILING_SLOT(CreateEventW, 0), [] { return RaisedWithCode([] { IPC::OverlappedIo io; }); });
    EXPECT_EQ(noEvent.code, ERROR_NO_SYSTEM_RESOURCES);
}

// An overlapped read that its stop ends, taking the auto-reset event's one wait, and one that fails at once.
TEST(Pipe, AnOverlappedOperationEndsAtItsStopOrAtOnce)
{
    const std::wstring name = UniquePipeName(L"overlapped");
    const UniqueFile server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr));
    UniqueFile client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(server && client);
    const UniqueHandle stop = IPC::NewEvent(false);
    IPC::OverlappedIo io;
    char buffer[8];
    DWORD bytes = 0;
    const auto read = [&] {
        return io.Finish(server.get(), ReadFile(server.get(), buffer, sizeof buffer, nullptr, io.Begin()), bytes,
                         InnerLimitMs(), stop.get());
    };
    SetEvent(stop.get());
    EXPECT_EQ(read(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(WaitForSingleObject(stop.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not an auto-reset event";
    client.reset();
    EXPECT_EQ(read(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(IPC::Deadline(INFINITE).RemainingMs(), INFINITE);
}

TEST(Pipe, ClientAndServerConnectUnderThePlainName)
{
    const ConnectedPipes pipes = Connect(UniquePipeName(L"plain"));
    const auto& serverEnd = pipes.server;

    DWORD mode = 0;
    ASSERT_TRUE(GetNamedPipeHandleStateW(pipes.client->NativeHandle(), &mode, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(mode & PIPE_READMODE_MESSAGE, static_cast<DWORD>(PIPE_READMODE_MESSAGE));
    DWORD flags = 0;
    ASSERT_TRUE(GetNamedPipeInfo(serverEnd->NativeHandle(), &flags, nullptr, nullptr, nullptr));
    EXPECT_TRUE(flags & PIPE_TYPE_MESSAGE);
    EXPECT_TRUE(flags & PIPE_SERVER_END);
    ASSERT_TRUE(GetHandleInformation(serverEnd->NativeHandle(), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
}

TEST(Pipe, SeveralInstancesOfOneNameServeSeveralClients)
{
    const std::wstring name = UniquePipeName(L"instances");
    const ConnectedPipes first = Connect(name);
    const ConnectedPipes second = Connect(name);

    // Each client is paired with its own instance.
    EXPECT_EQ(Relay(*second.client, *second.server, 2), 2);
    EXPECT_EQ(Relay(*first.client, *first.server, 1), 1);
    EXPECT_EQ(Relay(*first.server, *first.client, 11), 11);
    EXPECT_EQ(Relay(*second.server, *second.client, 22), 22);
}

TEST(Pipe, BusyPipeWaitsOnceThenTimesOut)
{
    const std::wstring name = UniquePipeName(L"busy");
    const ConnectedPipes taken = Connect(name);

    const DWORD start = GetTickCount();
    const Raised busy = RaisedWithCode([&] { Pipe(name, true); });
    EXPECT_EQ(busy.message, L"Timeout while trying to connect to a named pipe, pipe is busy");
    EXPECT_EQ(busy.code, ERROR_SEM_TIMEOUT);
    // One wait of 3 s, not none, and not two, which would take 6 s whatever else is slow.
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 2900u);
    EXPECT_LT(elapsed, 2 * 3000u);
}

TEST(Pipe, BusyPipeThatFreesUpConnectsAfterTheWait)
{
    const std::wstring name = UniquePipeName(L"frees");
    const ConnectedPipes taken = Connect(name);

    // A second instance appears while the client waits.
    auto later = OnThread([name] {
        Sleep(500);
        return std::make_shared<Pipe>(name, false);
    });
    Pipe second(name, true);
    const auto secondServer = later.get();
    EXPECT_EQ(Relay(second, *secondServer, 7), 7);
}

// A client can open a new instance before its server starts to wait for one.
TEST(Pipe, ServerTakesAClientThatCameBeforeItWaited)
{
    const std::wstring name = UniquePipeName(L"early");
    UniqueFile early;
    auto openEarly = [&](HANDLE) {
        early.reset(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    Pipe server(name, false, openEarly);
    ASSERT_TRUE(early);
    EXPECT_EQ(RaisedBy([&] {
                  OutputBuffer ping;
                  ping.WriteInteger(5);
                  server.Write(ping);
              }),
              L"(nothing raised)");

    // One that opened and left again is no client.
    early.reset();
    auto openAndLeave = [&](HANDLE server) {
        openEarly(server);
        early.reset();
    };
    // As above: a first run makes what the system keeps, the thread pool of the connect's retry timer among it.
    RaisedBy([&] { Pipe(name, false, openAndLeave); });
    const DWORD handlesBefore = HandleCount();
    for (DWORD i = 0; i <= HandleTolerance(); ++i)
        EXPECT_EQ(RaisedBy([&] { Pipe(name, false, openAndLeave); }), L"Client failed to connect (HRESULT = 232).");
    EXPECT_LE(HandleCount(), handlesBefore + HandleTolerance());
    EXPECT_FALSE(AnyServerWaiting());
}

// The observer reads another pipe, blocking, when the cancel comes: the read ends with the bytes written to
// it, and the wait that follows does not begin.
TEST(Pipe, CancelLeavesTheObserversReadAloneAndIsKeptForTheWait)
{
    const ConnectedPipes other = Connect(UniquePipeName(L"other"));
    std::int32_t read = 0;
    auto server = Waiting(UniquePipeName(L"observed"), [&] { read = other.server->Read().ReadInteger(); });
    Sleep(Scaled(100)); // into the read, most likely; the outcome is the same if not
    EXPECT_TRUE(IPC::CancelPendingConnect());
    OutputBuffer bytes;
    bytes.WriteInteger(7);
    other.client->Write(bytes);
    EXPECT_EQ(RaisedBy([&] { server.get(); }), L"Client failed to connect (HRESULT = 995).");
    EXPECT_EQ(read, 7);
}

TEST(Pipe, CancelJustBeforeTheWaitReleasesItOrDropsTheClientThatCame)
{
    SetImport(ConnectNamedPipeImport, CancelThenConnect);
    const std::wstring name = UniquePipeName(L"late");
    // Nothing to cancel yet: only the cancel's retry releases the wait.
    const std::wstring alone = RaisedBy([&] { Pipe(name, false); });
    // A client that opened the instance first has connected while the flag was set.
    UniqueFile client;
    const std::wstring connected = RaisedBy([&] {
        Pipe(name, false, [&](HANDLE) {
            client.reset(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        });
    });
    SetImport(ConnectNamedPipeImport, SystemConnectNamedPipe);
    EXPECT_EQ(alone, L"Client failed to connect (HRESULT = 995).");
    EXPECT_EQ(connected, L"The pipe terminated.");
}

// Servers under three names wait at once: a client of one is served by it while the others wait on, and one
// cancel releases those two.
TEST(Pipe, OneCancelReleasesEveryWaitingServer)
{
    const std::wstring names[] = {UniquePipeName(L"first"), UniquePipeName(L"second"), UniquePipeName(L"third")};
    auto first = Waiting(names[0]);
    auto second = Waiting(names[1]);
    auto third = Waiting(names[2]);
    Pipe client(names[1], true);
    EXPECT_EQ(Relay(client, *second.get(), 2), 2);
    EXPECT_EQ(first.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_TRUE(IPC::CancelPendingConnect());
    EXPECT_EQ(RaisedBy([&] { first.get(); }), L"Client failed to connect (HRESULT = 995).");
    EXPECT_EQ(RaisedBy([&] { third.get(); }), L"Client failed to connect (HRESULT = 995).");
    EXPECT_FALSE(AnyServerWaiting());
    EXPECT_FALSE(IPC::CancelPendingConnect());
}

TEST(Pipe, ReadThatFailsGivesItsErrorCode)
{
    const ConnectedPipes pipes = Connect(UniquePipeName(L"cancelread"));
    HANDLE self = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    const UniqueHandle reader(self);
    // Cancelled while it waits for a message: ERROR_OPERATION_ABORTED. A cancel that comes before the
    // read has begun finds nothing to cancel, so the canceller tries until the read has ended.
    std::atomic<bool> ended{false};
    auto canceller = OnThread([&] {
        bool cancelled = false;
        while (!ended) {
            cancelled = CancelSynchronousIo(reader.get()) != FALSE || cancelled;
            Sleep(5);
        }
        return cancelled;
    });
    EXPECT_EQ(RaisedBy([&] { pipes.client->Read(); }), L"Error reading from pipe: 995");
    ended = true;
    EXPECT_TRUE(canceller.get());
}

} // namespace
