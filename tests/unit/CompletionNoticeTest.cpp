// The exchange in this process, which links the program's code without the process guard: whatever the
// downloader answers ends in a result, never in an exception that only the guard would take.
#include <gtest/gtest.h>

#include "CompletionNotice.h"
#include "DebugTrace.h"
#include "DebugMonitor.h"
#include "DownloaderConnection.h"
#include "DownloaderStandIn.h"
#include "TestPipes.h"
#include "Text.h"

namespace {

TEST(CompletionNotice, EveryReplyEndsInAResultAndAtMostOneLine)
{
    const struct {
        std::string reply;
        HRESULT result;
        const wchar_t* line; // how the one debugger line starts; none for an answer
    } cases[] = {
        {Bytes({5, 0, 0, 0, 1}), S_OK, nullptr},
        {Bytes({5, 0, 0, 0, 0}), E_FAIL, nullptr},
        {Bytes({5, 0, 0}), E_FAIL, L"Tessaline: Unexpected end of input buffer (Downloader/MessageBuffer.cpp:"},
        {Bytes({2, 0, 0, 0, 0, 0, 0, 0}), E_FAIL,
         L"Tessaline: Unexpected type found in input buffer (Downloader/MessageBuffer.cpp:"},
    };
    DebugMonitor& monitor = DebugMonitor::Instance();
    for (const auto& c : cases) {
        const std::string reply = c.reply;
        auto server = ServeOnThread(DownloaderPipeName(), [reply] {
            IPC::Pipe pipe(DownloaderPipeName(), false);
            return Answer(reply)(pipe);
        });
        EXPECT_EQ(NotifyDownloader(), c.result) << Hex(c.reply);
        PipeHolder.reset();
        EXPECT_EQ(server.get().size(), 92u);
        std::vector<std::wstring> lines;
        EXPECT_TRUE(monitor.TakeLinesOf(GetCurrentProcessId(), InnerLimitMs(), lines));
        if (c.line == nullptr) {
            EXPECT_TRUE(lines.empty()) << testing::PrintToString(lines);
        } else {
            ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
            EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << testing::PrintToString(lines[0]);
        }
    }
}

// A failure raised as nested where none was being handled nests nothing: its line is its own.
TEST(CompletionNotice, TraceOfAFailureThatNestsNothingIsItsOwn)
{
    try {
        std::throw_with_nested(MAKE_WEXCEPTION(L"nothing nested"));
    } catch (const wexception<std::runtime_error>& error) {
        TraceToDebugger(error);
    }
    std::vector<std::wstring> lines;
    ASSERT_TRUE(DebugMonitor::Instance().TakeLinesOf(GetCurrentProcessId(), InnerLimitMs(), lines));
    ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind(L"Tessaline: nothing nested (tests/unit/CompletionNoticeTest.cpp:", 0), 0u) << lines[0];
}

// Where a character takes three bytes (UTF-8 as the ANSI code page), a line is cut at a whole character;
// where no whole character fits, or the code page is none, nothing is written.
TEST(CompletionNotice, NarrowTextIsCutToItsRoom)
{
    struct Cut {
        std::wstring text;
        UINT codePage;
        std::size_t room;
        std::size_t written;
    };
    const Cut cuts[] = {
        {std::wstring(400, L'\u20AC'), CP_UTF8, 1024, 1023},
        {L"a\U0001F600", CP_UTF8, 4, 1}, // the pair of surrogates stays whole
        {L"\U0001F600", CP_UTF8, 3, 0},
        {L"\u20AC", CP_UTF8, 2, 0},
        {L"abc", CP_UTF8, 0, 0},
        {L"", CP_UTF8, 8, 0},
        {L"abc", 12345, 8, 0}, // no such code page
    };
    char out[1024];
    for (const Cut& cut : cuts)
        EXPECT_EQ(NarrowInto(cut.text.data(), cut.text.size(), cut.codePage, out, cut.room), cut.written)
            << cut.text.size() << " units into " << cut.room;
    EXPECT_EQ(Widen("abc", 12345), L"");
    EXPECT_EQ(Narrow(L"abc", 12345), "");
}

} // namespace
