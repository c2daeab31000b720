#include <gtest/gtest.h>

#include "ChildProcess.h"

namespace {

struct EscapeCase {
    const wchar_t* escape;
    const wchar_t* line; // how the one debugger line starts
};

class Escapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escapes, EndWithFailAndOneDebuggerLine)
{
    const ChildResult run = RunProgram(L"guard_probe.exe", GetParam().escape);
    // A dialog (the runtime's abort message, an error report) would hold the process until killed.
    EXPECT_TRUE(run.finished) << "still running: waiting on a dialog?";
    EXPECT_EQ(run.exitCode, kFail);
    EXPECT_EQ(run.output, "");
    ASSERT_EQ(run.debugLines.size(), 1u) << testing::PrintToString(run.debugLines);
    EXPECT_EQ(run.debugLines[0].rfind(GetParam().line, 0), 0u) << testing::PrintToString(run.debugLines[0]);
}

const wchar_t kProbeRaise[] = L"Tessaline: escaped on purpose (tests/probes/GuardProbe.cpp:";
// The access violation, 0xC0000005. Under qemu-user's CPU emulation Wine sees the same write as an
// illegal instruction, 0xC000001D.
const wchar_t kFault[] = L"Tessaline: fault 0xC00000";

INSTANTIATE_TEST_SUITE_P(Kinds, Escapes,
                         ::testing::Values(EscapeCase{L"throw", kProbeRaise},
                                           EscapeCase{L"throw-int", L"Tessaline: terminated by an unknown exception"},
                                           EscapeCase{L"throw-during-start-up", L"Tessaline: escaped during start-up"},
                                           EscapeCase{L"fault", kFault}, EscapeCase{L"abort", L"Tessaline: aborted"},
                                           EscapeCase{L"abort-before-guard", L"Tessaline: aborted"},
                                           EscapeCase{L"runtime-abort", L"Tessaline: aborted"},
                                           // The guard's reports need no memory.
                                           EscapeCase{L"throw-without-memory", kProbeRaise},
                                           EscapeCase{L"bad-alloc-without-memory", L"Tessaline: std::bad_alloc"},
                                           EscapeCase{L"fault-without-memory", kFault}),
                         [](const testing::TestParamInfo<EscapeCase>& info) {
                             std::string name;
                             for (const wchar_t* c = info.param.escape; *c != L'\0'; ++c)
                                 name.push_back(*c == L'-' ? '_' : static_cast<char>(*c));
                             return name;
                         });

TEST(ProcessGuard, LeavesANormalEndAndShutsOutDialogsAndPlantedDlls)
{
    const ChildResult normal = RunProgram(L"guard_probe.exe", L"");
    EXPECT_EQ(normal.exitCode, 0u);
    EXPECT_TRUE(normal.debugLines.empty());

    // Planted.dll lies beside the probe, where a DLL search would find it before the system folder.
    EXPECT_EQ(RunProgram(L"guard_probe.exe", L"load-planted").exitCode, 0u) << "the planted DLL was loaded";

    const DWORD noDialogs = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    EXPECT_EQ(RunProgram(L"guard_probe.exe", L"error-mode").exitCode & noDialogs, noDialogs);
}

} // namespace
