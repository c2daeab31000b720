#include <gtest/gtest.h>

#include "ChildProcess.h"

namespace {

class Escapes : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(Escapes, EndWithFailAndNoOutput)
{
    // Not under a debugger: a debugger would take the fault before the process's own filter.
    const ChildResult quiet = RunProgram(L"guard_probe.exe", GetParam());
    EXPECT_EQ(quiet.exitCode, kFail);
    EXPECT_EQ(quiet.output, "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, Escapes, ::testing::Values(L"throw", L"throw-int", L"fault"));

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

TEST(ProcessGuard, NormalEndIsUntouched) { EXPECT_EQ(RunProgram(L"guard_probe.exe", L"").exitCode, 0u); }

} // namespace
