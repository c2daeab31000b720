#include <gtest/gtest.h>

#include "Pipe.h"
#include "TestPipes.h"

namespace {

using Error = wexception<std::runtime_error>;
using IPC::Pipe;

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7) % 251); // zero bytes included
    return bytes;
}

struct Connected {
    std::shared_ptr<Pipe> server;
    std::shared_ptr<Pipe> client;
};

Connected Connect(const std::wstring& purpose)
{
    const std::wstring name = UniquePipeName(purpose);
    auto server = OnThread([name] { return std::make_shared<Pipe>(name, false); });
    if (!WaitUntilListening(name))
        throw std::runtime_error("server did not come up");
    auto client = std::make_shared<Pipe>(name, true);
    return Connected{server.get(), client};
}

class MessageSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MessageSizes, ArriveWholeAndInOrderBothWays)
{
    Connected pipes = Connect(L"sizes");
    const std::string payload = Pattern(GetParam());

    // The bigger messages need the reader running while the writer blocks.
    auto toServer = OnThread([&] { return pipes.server->Read().Content(); });
    OutputBuffer out;
    out.WriteBytes(payload);
    pipes.client->Write(out);
    const std::string atServer = toServer.get();
    EXPECT_EQ(atServer.size(), payload.size());
    EXPECT_TRUE(atServer == payload);

    auto toClient = OnThread([&] { return pipes.client->Read().Content(); });
    pipes.server->Write(out);
    const std::string atClient = toClient.get();
    EXPECT_EQ(atClient.size(), payload.size());
    EXPECT_TRUE(atClient == payload);
}

INSTANTIATE_TEST_SUITE_P(Bytes, MessageSizes, ::testing::Values(0, 1, 5, 1023, 1024, 1025, 2048, 3000, 1 << 20));

TEST(Transfer, MessagesKeepTheirBoundaries)
{
    Connected pipes = Connect(L"boundaries");
    // A write larger than the pipe's buffer blocks until it is read, so the writes run on their own thread.
    auto writer = OnThread([&] {
        for (std::size_t size : {3u, 0u, 1500u, 1u}) {
            OutputBuffer out;
            out.WriteBytes(Pattern(size));
            pipes.client->Write(out);
        }
    });
    for (std::size_t size : {3u, 0u, 1500u, 1u})
        EXPECT_EQ(pipes.server->Read().Content(), Pattern(size));
    writer.get();
}

TEST(Transfer, PeerClosingBeforeReplyIsPipeDisconnected)
{
    Connected pipes = Connect(L"closed");
    pipes.server.reset();
    try {
        pipes.client->Read();
        FAIL() << "read succeeded";
    } catch (const Error& error) {
        EXPECT_EQ(error.message(), L"Pipe disconnected");
        EXPECT_GT(error.line, 0);
    }
}

TEST(Transfer, UnreadMessageIsStillDeliveredAfterThePeerCloses)
{
    Connected pipes = Connect(L"drain");
    OutputBuffer out;
    out.WriteBytes(Pattern(3000));
    auto writer = OnThread([&] {
        pipes.server->Write(out);
        FlushFileBuffers(pipes.server->NativeHandle());
        pipes.server.reset();
    });
    EXPECT_EQ(pipes.client->Read().Content(), Pattern(3000));
    writer.get();
    EXPECT_THROW(pipes.client->Read(), Error);
}

TEST(Transfer, WritingAfterThePeerClosedFails)
{
    Connected pipes = Connect(L"writeclosed");
    pipes.server.reset();
    OutputBuffer out;
    out.WriteInteger(1);
    try {
        pipes.client->Write(out);
        FAIL() << "write succeeded";
    } catch (const Error& error) {
        EXPECT_EQ(error.message(), L"Failed to write to pipe");
    }
}

} // namespace
