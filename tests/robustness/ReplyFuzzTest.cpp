// Hostile replies from the downloader: the program must end with S_OK or E_FAIL, never crash or hang,
// and S_OK only for a reply that opens with a Boolean whose byte is non-zero.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "Robustness.h"
#include "TestPipes.h"
#include "Watchdog.h"

namespace {

const std::string kBooleanTag("\x05\x00\x00\x00", 4);

DWORD ExpectedExitCode(const std::string& reply)
{
    return reply.size() >= 5 && reply.compare(0, 4, kBooleanTag) == 0 && reply[4] != '\0' ? 0 : kFail;
}

std::string Hexed(const std::string& bytes)
{
    return bytes.size() <= 32 ? Hex(bytes) : Hex(bytes.substr(0, 16)) + " ... (" + std::to_string(bytes.size()) + ")";
}

void ExpectRun(const DownloaderRun& run, DWORD expected, const std::string& what)
{
    ASSERT_TRUE(EndedCleanly(run.program)) << what;
    EXPECT_EQ(run.program.exitCode, expected) << what;
}

TEST(ReplyFuzz, RandomRepliesOfEveryLengthUpTo16)
{
    SetTestTimeLimit(120);
    std::mt19937 random = SeededGenerator("replies");
    std::uniform_int_distribution<int> byte(0, 255);
    const int kPerLength = 3;
    int runs = 0, successes = 0;
    for (std::size_t length = 0; length <= 16; ++length) {
        for (int variant = 0; variant < kPerLength; ++variant) {
            std::string reply(length, '\0');
            for (char& b : reply)
                b = static_cast<char>(byte(random));
            // Also replies that open with the Boolean's tag, or one byte off it: those decide the outcome.
            if (variant == 1)
                reply.replace(0, std::min<std::size_t>(4, length), kBooleanTag, 0, std::min<std::size_t>(4, length));
            if (variant == 2 && length >= 4) {
                reply.replace(0, 4, kBooleanTag);
                if (length > 4 && byte(random) < 64)
                    reply[4] = '\0';
                else if (byte(random) < 128)
                    reply[static_cast<std::size_t>(byte(random) % 4)] ^= static_cast<char>(1 + byte(random) % 255);
            }
            const DownloaderRun run = RunAgainstDownloader(L"", Answer(reply));
            ExpectRun(run, ExpectedExitCode(reply), Hexed(reply));
            EXPECT_TRUE(run.served) << Hexed(reply);
            EXPECT_EQ(run.request.size(), 92u) << Hexed(reply);
            ++runs;
            successes += ExpectedExitCode(reply) == 0 ? 1 : 0;
        }
    }
    std::printf("%d random replies: %d answered S_OK, %d E_FAIL\n", runs, successes, runs - successes);
    EXPECT_GT(successes, 0);
    EXPECT_GT(runs - successes, 0);
}

std::string LongReply(std::size_t size, char boolean)
{
    std::string reply = kBooleanTag + std::string(1, boolean);
    reply.reserve(size);
    for (std::size_t i = reply.size(); i < size; ++i)
        reply.push_back(static_cast<char>(i * 131 % 251));
    return reply;
}

TEST(ReplyFuzz, LongReplies)
{
    SetTestTimeLimit(60);
    struct Case {
        const char* what;
        std::string reply;
    } cases[] = {
        {"16 MiB, true", LongReply(16u << 20, 1)},
        {"1000 chunks of 1024 bytes, true", LongReply(1000 * 1024, 1)},
        {"1000 chunks of 1024 bytes, false", LongReply(1000 * 1024, 0)},
        {"1000 chunks of 1024 bytes, a String tag first", "\x02" + LongReply(1000 * 1024, 1).substr(1)},
    };
    for (const Case& c : cases) {
        const DownloaderRun run = RunAgainstDownloader(L"", Answer(c.reply));
        ExpectRun(run, ExpectedExitCode(c.reply), c.what);
        EXPECT_TRUE(run.served) << c.what;
        std::printf("%s: exit 0x%08lX after %.2f s\n", c.what, static_cast<unsigned long>(run.program.exitCode),
                    run.program.seconds);
    }
}

TEST(ReplyFuzz, ReplySplitIntoSeveralMessagesCountsOnlyTheFirst)
{
    // The program reads one message; a Boolean spread over two messages is a short reply.
    const DownloaderRun split = RunAgainstDownloader(L"", [](IPC::Pipe& pipe) {
        const std::string request = pipe.Read().Content();
        for (const std::string& part : {std::string("\x05\x00\x00", 3), std::string("\x00\x01", 2)}) {
            OutputBuffer out;
            out.WriteBytes(part);
            pipe.Write(out);
        }
        return request;
    });
    ExpectRun(split, kFail, "05 00 00 | 00 01");

    // Many 1024-byte messages after a true first one: the rest is never read.
    const DownloaderRun many = RunAgainstDownloader(L"", [](IPC::Pipe& pipe) {
        const std::string request = pipe.Read().Content();
        for (int i = 0; i < 200; ++i) {
            OutputBuffer out;
            out.WriteBytes(LongReply(1024, static_cast<char>(i == 0 ? 1 : 0)));
            pipe.Write(out); // raises once the program has gone
        }
        return request;
    });
    ExpectRun(many, 0, "200 messages of 1024 bytes");
}

TEST(ReplyFuzz, DownloaderThatClosesEarly)
{
    const DownloaderRun beforeRead = RunAgainstDownloader(L"", [](IPC::Pipe&) { return std::string(); });
    ExpectRun(beforeRead, kFail, "closed before reading the request");
    std::printf("closed before reading: E_FAIL after %.2f s\n", beforeRead.program.seconds);
}

} // namespace
