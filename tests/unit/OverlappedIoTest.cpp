// Overlapped operations with a limit, on a real pipe: each way one ends, and the event they all need.
#include <gtest/gtest.h>

#include "ImportSlots.h"
#include "OverlappedIo.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

TEST(OverlappedIo, EachOutcomeOfAnOperationIsItsOwn)
{
    const std::wstring name = UniquePipeName(L"overlapped");
    const UniqueFile server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(server);
    UniqueFile client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client);
    const UniqueHandle stop = IPC::NewEvent();
    IPC::OverlappedIo io;
    char buffer[8] = {};
    DWORD bytes = 0;
    const auto read = [&](DWORD timeoutMs, HANDLE stopEvent) {
        return io.Finish(server.get(), ReadFile(server.get(), buffer, sizeof buffer, nullptr, io.Begin()), bytes,
                         timeoutMs, stopEvent);
    };
    // Nothing comes: the time runs out, or the stop comes first; either cancels the read, which takes nothing.
    EXPECT_EQ(read(Scaled(50), nullptr), static_cast<DWORD>(ERROR_TIMEOUT));
    SetEvent(stop.get());
    EXPECT_EQ(read(InnerLimitMs(), stop.get()), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    ResetEvent(stop.get());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client.get(), "0123456789", 10, &written, nullptr));
    // A message longer than the buffer: its first part, then the rest.
    EXPECT_EQ(read(InnerLimitMs(), stop.get()), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(read(InnerLimitMs(), nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(std::string(buffer, bytes), "89");
    // A read that fails at once has its own error, and nothing to wait for.
    client.reset();
    EXPECT_EQ(read(INFINITE, nullptr), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(bytes, 0u);

    // An auto-reset event lets one wait through for each time it is set.
    const UniqueHandle once = IPC::NewEvent(false);
    SetEvent(once.get());
    EXPECT_EQ(WaitForSingleObject(once.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(once.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(IPC::Deadline(INFINITE).RemainingMs(), INFINITE);
    EXPECT_FALSE(IPC::Deadline(INFINITE).Passed());
    EXPECT_TRUE(IPC::Deadline(0).Passed());

    const auto events = Swapper(CreateEventWImport, FailEvent);
    FailingCalls = 1;
    events(true);
    const Raised raised = RaisedWithCode([] { IPC::OverlappedIo none; });
    events(false);
    EXPECT_EQ(raised.code, ERROR_NO_SYSTEM_RESOURCES);
}

} // namespace
