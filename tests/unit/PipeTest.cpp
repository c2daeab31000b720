#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Pipe.h"
#include "PipeSecurity.h"
#include "TestPipes.h"

namespace {

using Error = wexception<std::runtime_error>;
using IPC::Pipe;

std::wstring RaisedBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Error& error) {
        return error.message();
    }
    return L"(nothing raised)";
}

TEST(Pipe, ClientOfAMissingPipeFailsAtOnceWithCode2)
{
    const DWORD start = GetTickCount();
    EXPECT_EQ(RaisedBy([] { Pipe(UniquePipeName(L"missing"), true); }),
              L"Unable to connect to a named pipe (Error code: 2)");
    EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST(Pipe, ClientAndServerConnectUnderThePlainName)
{
    const std::wstring name = UniquePipeName(L"plain");
    auto server = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    Pipe client(name, true);
    auto serverEnd = server.get();

    DWORD mode = 0;
    ASSERT_TRUE(GetNamedPipeHandleStateW(client.NativeHandle(), &mode, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(mode & PIPE_READMODE_MESSAGE, static_cast<DWORD>(PIPE_READMODE_MESSAGE));
    DWORD flags = 0;
    ASSERT_TRUE(GetNamedPipeInfo(serverEnd->NativeHandle(), &flags, nullptr, nullptr, nullptr));
    EXPECT_TRUE(flags & PIPE_TYPE_MESSAGE);
    EXPECT_TRUE(flags & PIPE_SERVER_END);
}

TEST(Pipe, ServerHandleIsInheritable)
{
    const std::wstring name = UniquePipeName(L"inherit");
    auto server = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    Pipe client(name, true);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(server.get()->NativeHandle(), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
}

TEST(Pipe, SeveralInstancesOfOneNameServeSeveralClients)
{
    const std::wstring name = UniquePipeName(L"instances");
    auto first = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    Pipe firstClient(name, true);
    const auto firstServer = first.get();
    auto second = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    Pipe secondClient(name, true);
    const auto secondServer = second.get();

    // Each client is paired with its own instance.
    EXPECT_EQ(Relay(secondClient, *secondServer, 2), 2);
    EXPECT_EQ(Relay(firstClient, *firstServer, 1), 1);
    EXPECT_EQ(Relay(*firstServer, firstClient, 11), 11);
    EXPECT_EQ(Relay(*secondServer, secondClient, 22), 22);
}

TEST(Pipe, BusyPipeWaitsOnceThenTimesOut)
{
    const std::wstring name = UniquePipeName(L"busy");
    auto server = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    Pipe taken(name, true);
    const auto serverEnd = server.get();

    const DWORD start = GetTickCount();
    EXPECT_EQ(RaisedBy([&] { Pipe(name, true); }), L"Timeout while trying to connect to a named pipe, pipe is busy");
    const DWORD elapsed = GetTickCount() - start;
    std::printf("busy pipe: gave up after %lu ms\n", static_cast<unsigned long>(elapsed));
    EXPECT_GE(elapsed, 2500u);
    EXPECT_LT(elapsed, 8000u);
}

TEST(Pipe, BusyPipeThatFreesUpConnectsAfterTheWait)
{
    const std::wstring name = UniquePipeName(L"frees");
    auto server = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    Pipe taken(name, true);
    const auto serverEnd = server.get();

    // A second instance appears while the client waits.
    auto later = OnThread([name] {
        Sleep(500);
        return std::make_shared<Pipe>(name, false);
    });
    Pipe second(name, true);
    const auto secondServer = later.get();
    EXPECT_EQ(Relay(second, *secondServer, 7), 7);
}

TEST(Pipe, ServerKeepsAClientThatConnectedBeforeItWaited)
{
    // Clients race the server's creation; a client that lands before ConnectNamedPipe is
    // connected all the same and must not be dropped.
    for (int round = 0; round < 100; ++round) {
        const std::wstring name = UniquePipeName(L"race");
        std::atomic<bool> stop{false};
        auto client = OnThread([&] {
            for (;;) {
                HANDLE h =
                    CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (h != INVALID_HANDLE_VALUE)
                    return UniqueHandle(h);
                if (stop)
                    return UniqueHandle();
            }
        });
        try {
            Pipe server(name, false);
        } catch (const Error& error) {
            stop = true;
            client.get();
            FAIL() << "round " << round << ": " << testing::PrintToString(error.message());
        }
        EXPECT_TRUE(client.get().valid());
    }
}

TEST(Pipe, CancelledServerClosesAndRaisesTerminated)
{
    const std::wstring name = UniquePipeName(L"cancel");
    const DWORD handlesBefore = HandleCount();
    auto server = OnThread([name] { Pipe server(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    for (int tries = 0; tries < 100 && !IPC::CancelPendingConnect(); ++tries)
        Sleep(10);
    EXPECT_EQ(RaisedBy([&] { server.get(); }), L"The pipe terminated.");

    EnterCriticalSection(&IPC::PendingConnect.lock);
    const HANDLE pending = IPC::PendingConnect.pipe;
    LeaveCriticalSection(&IPC::PendingConnect.lock);
    EXPECT_EQ(pending, nullptr);
    EXPECT_FALSE(IPC::CancelPendingConnect());
    EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0)) << "the instance is still there";
    EXPECT_LE(HandleCount(), handlesBefore + 2); // the finished thread's handle may linger
}

TEST(Pipe, ClientNameInsideAnAppContainerEndsInEpm)
{
    const std::wstring name = L"\\\\.\\pipe\\lumo_downloader_{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}";
    EXPECT_EQ(IPC::ClientPipeName(name, true), name + L"_EPM");
    EXPECT_EQ(IPC::ClientPipeName(name, false), name);
}

TEST(Pipe, DestroyingTheLastOwnerClosesTheHandle)
{
    const std::wstring name = UniquePipeName(L"owner");
    auto server = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    ASSERT_TRUE(WaitUntilListening(name));
    auto client = std::make_shared<Pipe>(name, true);
    std::shared_ptr<Pipe> serverEnd = server.get();
    std::shared_ptr<Pipe> secondOwner = serverEnd;
    serverEnd.reset();
    EXPECT_EQ(RaisedBy([&] {
                  OutputBuffer ping;
                  ping.WriteInteger(1);
                  client->Write(ping);
              }),
              L"(nothing raised)");
    secondOwner.reset();
    EXPECT_EQ(RaisedBy([&] { client->Read(); }), L"Pipe disconnected");
}

TEST(Pipe, ConstructionsLeakNoHandles)
{
    const std::wstring name = UniquePipeName(L"leak");
    // Warm up lazily created runtime handles first.
    RaisedBy([&] { Pipe(name, true); });
    const DWORD before = HandleCount();
    for (int i = 0; i < 50; ++i) {
        RaisedBy([&] { Pipe(name + L"_absent", true); });
        // The server's failure comes back through the future instead of ending the test run.
        auto server = OnThread([&] {
            Pipe server(name, false);
            return server.Read().Content();
        });
        ASSERT_TRUE(WaitUntilListening(name));
        Pipe client(name, true);
        OutputBuffer message;
        message.WriteString(L"x");
        client.Write(message);
        // The client stays open until the server has the message: closing earlier could beat the
        // server's ConnectNamedPipe, which then sees a client that is gone.
        ASSERT_EQ(Hex(server.get()), Hex(message.Content())) << "round " << i;
    }
    EXPECT_LE(HandleCount(), before + 2);
}

} // namespace
