#include <gtest/gtest.h>

#include "Pipe.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7) % 251); // zero bytes included
    return bytes;
}

class MessageSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MessageSizes, ArriveWholeAndInOrderBothWays)
{
    ConnectedPipes pipes = Connect(UniquePipeName(L"sizes"));
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
    ConnectedPipes pipes = Connect(UniquePipeName(L"boundaries"));
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
    ConnectedPipes pipes = Connect(UniquePipeName(L"closed"));
    pipes.server.reset();
    const Raised hungUp = RaisedWithCode([&] { pipes.client->Read(); });
    EXPECT_EQ(hungUp.message, L"Pipe disconnected");
    EXPECT_EQ(hungUp.code, ERROR_BROKEN_PIPE);
}

TEST(Transfer, UnreadMessageIsStillDeliveredAfterThePeerCloses)
{
    ConnectedPipes pipes = Connect(UniquePipeName(L"drain"));
    OutputBuffer out;
    out.WriteBytes(Pattern(3000));
    auto writer = OnThread([&] {
        pipes.server->Write(out);
        FlushFileBuffers(pipes.server->NativeHandle());
        pipes.server.reset();
    });
    EXPECT_EQ(pipes.client->Read().Content(), Pattern(3000));
    writer.get();
    EXPECT_EQ(RaisedBy([&] { pipes.client->Read(); }), L"Pipe disconnected");
}

TEST(Transfer, WritingAfterThePeerClosedFails)
{
    ConnectedPipes pipes = Connect(UniquePipeName(L"writeclosed"));
    pipes.server.reset();
    OutputBuffer out;
    out.WriteInteger(1);
    const Raised failed = RaisedWithCode([&] { pipes.client->Write(out); });
    EXPECT_EQ(failed.message, L"Failed to write to pipe");
    // The text names no code; the data does: the other end is gone.
    EXPECT_TRUE(failed.code == ERROR_NO_DATA || failed.code == ERROR_BROKEN_PIPE) << failed.code;
}

} // namespace
