#include <gtest/gtest.h>

#include "ChildProcess.h"

namespace {

class Escapes : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(Escapes, EndWithFailAndNoOutput)
{
    // Not under a debugger: a debugger would take the fault before the process's own filter.
    const ChildResult quiet = RunProgram(L"guard_probe.exe", GetParam());
    // A dialog (the runtime's abort message, an error report) would hold the process until killed.
    EXPECT_TRUE(quiet.finished) << "still running: waiting on a dialog?";
    EXPECT_EQ(quiet.exitCode, kFail);
    EXPECT_EQ(quiet.output, "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, Escapes,
                         ::testing::Values(L"throw", L"throw-int", L"fault", L"throw-without-memory",
                                           L"bad-alloc-without-memory", L"fault-without-memory"));

TEST(ProcessGuard, EscapedExceptionIsReportedToTheDebugger)
{
    std::vector<std::wstring> debugLines;
    const ChildResult run = RunUnderDebugger(L"guard_probe.exe", L"throw", debugLines);
    EXPECT_EQ(run.exitCode, kFail);
    bool found = false;
    for (const std::wstring& line : debugLines)
        found = found || line.find(L"escaped on purpose") != std::wstring::npos;
    EXPECT_TRUE(found);
}

TEST(ProcessGuard, DebuggerRunsKeepTheirDebuggeesApart)
{
    // A debuggee given up on at its time-out must not hand its end to the next run.
    std::vector<std::wstring> abandonedLines;
    const ChildResult abandoned = RunUnderDebugger(L"Tessaline.exe", L"", abandonedLines, 300);
    EXPECT_FALSE(abandoned.finished);
    std::vector<std::wstring> debugLines;
    const ChildResult next = RunUnderDebugger(L"guard_probe.exe", L"", debugLines);
    EXPECT_TRUE(next.finished);
    EXPECT_EQ(next.exitCode, 0u);
    EXPECT_TRUE(debugLines.empty());
}

// The terminate handler reports without allocating: with every operator new failing, the line still
// comes, whole. (A fault is not taken by the filter under a debugger; Escapes runs it without one.)
TEST(ProcessGuard, ReportsNeedNoMemory)
{
    struct Case {
        const wchar_t* escape;
        const wchar_t* start;
    } cases[] = {
        {L"throw-without-memory", L"Tessaline: escaped on purpose (tests/probes/GuardProbe.cpp:"},
        {L"bad-alloc-without-memory", L"Tessaline: std::bad_alloc"},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> debugLines;
        const ChildResult run = RunUnderDebugger(L"guard_probe.exe", c.escape, debugLines);
        EXPECT_EQ(run.exitCode, kFail) << testing::PrintToString(std::wstring(c.escape));
        ASSERT_EQ(debugLines.size(), 1u) << testing::PrintToString(debugLines);
        EXPECT_EQ(debugLines[0].rfind(c.start, 0), 0u) << testing::PrintToString(debugLines[0]);
    }
}

TEST(ProcessGuard, NormalEndIsUntouched) { EXPECT_EQ(RunProgram(L"guard_probe.exe", L"").exitCode, 0u); }

} // namespace
