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
#ifdef _WIN64
    if (std::wstring(GetParam().escape) == L"stack-overflow" && RunningUnderWine())
        GTEST_SKIP() << "64-bit Wine leaves an overflowed stack no room to dispatch the exception: it ends the run";
#endif
    const ChildResult run = RunProgram(L"guard_probe.exe", GetParam().escape);
    // A dialog (the runtime's abort message, an error report) would hold the process until killed.
    EXPECT_TRUE(run.finished) << "still running: waiting on a dialog?";
    EXPECT_EQ(run.exitCode, kFail);
    // Nothing reaches the output it was given: neither the runtime's abort message nor what the probe
    // left in its buffer, which an end through ExitProcess would write out.
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
                                           EscapeCase{L"fault", kFault},
                                           EscapeCase{L"stack-overflow", L"Tessaline: fault 0xC00000FD"},
                                           EscapeCase{L"abort", L"Tessaline: aborted"},
                                           EscapeCase{L"runtime-abort", L"Tessaline: aborted"},
                                           EscapeCase{L"runtime-abort-during-start-up", L"Tessaline: aborted"},
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

TEST(ProcessGuard, InvalidParameterToTheRuntimeEndsWithFailWhereTheRuntimeTakesAHandler)
{
    const ChildResult run = RunProgram(L"guard_probe.exe", L"invalid-parameter");
    EXPECT_TRUE(run.finished) << "still running: waiting on a dialog?";
    // Wine's msvcrt takes no handler: its strcpy_s answers EINVAL, and the probe ends normally.
    const bool handled = SystemFunction<FARPROC>(L"msvcrt.dll", "_set_invalid_parameter_handler") != nullptr;
    EXPECT_EQ(run.exitCode, handled ? kFail : static_cast<DWORD>(EINVAL));
    EXPECT_EQ(run.debugLines, handled
                                  ? std::vector<std::wstring>{L"Tessaline: invalid parameter to a C runtime function"}
                                  : std::vector<std::wstring>{});
}

TEST(ProcessGuard, LeavesANormalEndAndShutsOutDialogsPlantedDllsAndStandardError)
{
    const DWORD noDialogs = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    const struct {
        const wchar_t* probe;
        DWORD mask, expected;
        const char* what;
    } cases[] = {
        {L"", ~0u, 0, "a normal end"},
        // Planted.dll lies beside the probe, where a DLL search would find it before the system folder.
        {L"load-planted", ~0u, 0, "the planted DLL was loaded"},
        {L"error-mode", noDialogs, noDialogs, "the system may show error dialogs"},
        // Seen by a static object that the runtime constructs first but for the guard's priority.
        {L"error-mode-at-start-up", noDialogs, noDialogs, "the guard is set up after other static objects"},
        // Never _OUT_TO_MSGBOX, nor _OUT_TO_DEFAULT, which is the message box in a GUI program.
        {L"crt-error-mode", ~0u, _OUT_TO_STDERR, "the C runtime reports its errors otherwise than to standard error"},
        {L"standard-error", ~0u, 0, "standard error still leads to the handle the program was given"},
    };
    for (const auto& c : cases) {
        const ChildResult run = RunProgram(L"guard_probe.exe", c.probe);
        EXPECT_EQ(run.exitCode & c.mask, c.expected) << c.what;
        EXPECT_TRUE(run.debugLines.empty()) << c.what;
    }
}

} // namespace
