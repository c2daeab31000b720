// The support tool against the project's downloader stand-in and the real registry: each verdict once.
// What Wine cannot show is left to Windows: there every process has one account, one session and a
// high integrity level, and an elevated token (so registry mode always carries the elevation warning).
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <vector>

#include "ChildProcess.h"
#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "TestRegistry.h"

namespace {

const wchar_t kRoot[] = L"Software\\Tessaline\\";
const char kNoPipe[] = "verdict: Tessaline would not report completion: no downloader serves its pipe (error 2)";

enum class Before { Nothing, Peer, BusyPeer, Marker, DwordValue };

struct ToolCase {
    const char* what;
    Before before;
    const wchar_t* peer; // the stand-in's options
    std::wstring tool;   // the tool's command line; "{name}" stands for a product name of this test's own
    DWORD exitCode;
    std::vector<const char*> lines; // in the tool's output
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.what; }

bool Elevated()
{
    UniqueHandle token;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()) &&
           GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

// A marker the tool can write comes with exit code 3 where the tool runs elevated, as under Wine.
const DWORD kWritable = Elevated() ? 3 : 0;

class SupportTool : public ::testing::TestWithParam<ToolCase> {
protected:
    void SetUp() override { name_ = L"SupportToolTest" + std::to_wstring(GetCurrentProcessId()); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, (kRoot + name_).c_str()); }

    void WriteInstall(DWORD type, const void* data, DWORD size)
    {
        HKEY created = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (kRoot + name_).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &created, nullptr),
                  ERROR_SUCCESS);
        const UniqueKey key(created);
        RegSetValueExW(key.get(), L"Install", 0, type, static_cast<const BYTE*>(data), size);
    }

    std::wstring name_;
};

TEST_P(SupportTool, SaysWhatTessalineWouldDo)
{
    const ToolCase& c = GetParam();
    std::unique_ptr<BackgroundProcess> peer;
    std::unique_ptr<IPC::Pipe> firstClient;
    if (c.before == Before::Peer) {
        peer = std::make_unique<BackgroundProcess>(L"DownloaderPeer.exe", c.peer);
        ASSERT_TRUE(peer->WaitForOutput("listening on"));
    }
    UniqueFile busyInstance;
    if (c.before == Before::BusyPeer) {
        // A server of one instance, held by a client: the stand-in keeps an instance free at all times.
        busyInstance.reset(CreateNamedPipeW(DownloaderPipeName().c_str(), PIPE_ACCESS_DUPLEX,
                                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 1024, 1024, 0, nullptr));
        ASSERT_TRUE(busyInstance);
        firstClient = std::make_unique<IPC::Pipe>(DownloaderPipeName(), true);
    }
    const DWORD dword = 7;
    const wchar_t marker[] = L"1";
    if (c.before == Before::Marker)
        WriteInstall(REG_SZ, marker, sizeof marker);
    if (c.before == Before::DwordValue)
        WriteInstall(REG_DWORD, &dword, sizeof dword);
    const InstallValue before = ReadInstallValue(OpenUserKey(kRoot + name_).get());

    std::wstring arguments = c.tool;
    const std::size_t placeholder = arguments.find(L"{name}");
    if (placeholder != std::wstring::npos)
        arguments.replace(placeholder, 6, name_);
    const ChildResult run = RunProgram(L"TessalineCheck.exe", arguments);
    ASSERT_TRUE(run.finished) << c.what;
    EXPECT_EQ(run.exitCode, c.exitCode) << c.what << "\n" << run.output;
    for (const char* line : c.lines)
        EXPECT_NE(run.output.find(line), std::string::npos) << c.what << ": no \"" << line << "\" in\n" << run.output;
    // One verdict, the last line; lines end the Windows way.
    EXPECT_EQ(run.output.find("verdict: "), run.output.rfind("\nverdict: ") + 1) << run.output;
    EXPECT_EQ(run.output.substr(run.output.size() - 2), "\r\n");
    // The look changes nothing in the registry.
    const InstallValue after = ReadInstallValue(OpenUserKey(kRoot + name_).get());
    EXPECT_EQ(after.status, before.status) << c.what;
    EXPECT_EQ(after.data, before.data) << c.what;
}

const std::wstring kLongComponent(300, L'k');

INSTANTIATE_TEST_SUITE_P(
    Verdicts, SupportTool,
    ::testing::Values(
        ToolCase{"no downloader",
                 Before::Nothing,
                 nullptr,
                 L"",
                 1,
                 {"command line: (empty)\r\n", "pipe is there: does not exist (error 2)",
                  "opened as Tessaline opens it: no, after 0.", "Unable to connect to a named pipe (Error code: 2)",
                  kNoPipe}},
        ToolCase{"a look, without a notice",
                 Before::Peer,
                 L"--reply true",
                 L"",
                 0,
                 {"pipe is there: exists, with an instance free for a client", "opened as Tessaline opens it: yes",
                  "\\DownloaderPeer.exe, session ", "same account: yes, and the same session as this tool",
                  "notice: not sent (--send sends it)", "verdict: Tessaline would reach the downloader"}},
        ToolCase{"answer true",
                 Before::Peer,
                 L"--reply true",
                 L"--send",
                 0,
                 {"notice: sent, 92 bytes: 00 00 00 00 00 00 00 00 02 00 00 00 26 00 00 00 7B 00 43 00",
                  "answer: 05 00 00 00 01 (5 bytes), after ", "read as: true; Tessaline ends with S_OK",
                  "verdict: Tessaline would report completion: the downloader answered true"}},
        ToolCase{"answer false",
                 Before::Peer,
                 L"--reply false",
                 L"--send",
                 1,
                 {"read as: false; Tessaline ends with E_FAIL",
                  "verdict: Tessaline would not report completion: the downloader answered false"}},
        ToolCase{"not an answer",
                 Before::Peer,
                 L"--reply 0500",
                 L"--send",
                 1,
                 {"answer: 05 00 (2 bytes)", "read as: not an answer: Unexpected end of input buffer",
                  "verdict: Tessaline would not report completion: the downloader's reply is not an answer"}},
        ToolCase{"no answer in time",
                 Before::Peer,
                 L"--reply-delay 60000",
                 L"--send --wait 1",
                 1,
                 {"answer: none within 1.00 s",
                  "verdict: Tessaline would not report completion: the downloader did not answer within 1.00 s"}},
        ToolCase{"a hang-up",
                 Before::Peer,
                 L"--close",
                 L"--send",
                 1,
                 {"answer: none: Pipe disconnected",
                  "verdict: Tessaline would not report completion: the downloader closed the connection"}},
        ToolCase{"a byte-mode pipe",
                 Before::Peer,
                 L"--byte-mode",
                 L"",
                 1,
                 {"opened as Tessaline opens it: no, after 0.", "SetNamedPipeHandleState failed (HRESULT = 87).",
                  "\\DownloaderPeer.exe, session ",
                  "verdict: Tessaline would not report completion: the pipe is not a "
                  "message-mode pipe"}},
        ToolCase{"a refusing pipe",
                 Before::Peer,
                 L"--one-way",
                 L"",
                 1,
                 {"Unable to connect to a named pipe (Error code: 5)",
                  "verdict: Tessaline would not report completion: the pipe refuses this account (error 5)"}},
        ToolCase{"every instance busy",
                 Before::BusyPeer,
                 L"--reply-delay 60000",
                 L"",
                 1,
                 {"pipe is there: exists, but every instance is busy with another client",
                  "opened as Tessaline opens it: no, after 3.",
                  "Timeout while trying to connect to a named pipe, pipe is busy",
                  "verdict: Tessaline would not report completion: every instance of the pipe stays busy"}},
        ToolCase{"marker absent",
                 Before::Nothing,
                 nullptr,
                 L"/name={name}",
                 kWritable,
                 {"mode: registry: the first /name has the value \"SupportToolTest",
                  "marker: absent: there is no such key",
                  "can Tessaline write it: the deepest key that exists is HKEY_CURRENT_USER\\Software",
                  "verdict: Tessaline would record completion for "}},
        ToolCase{"marker present",
                 Before::Marker,
                 nullptr,
                 L"/NAME={name} /x=1",
                 kWritable,
                 {"marker: present: Install = REG_SZ \"1\" (4 bytes: 31 00 00 00)",
                  "can Tessaline write it: the key exists, and opens with full access",
                  "verdict: completion is recorded for "}},
        ToolCase{"marker of the wrong type",
                 Before::DwordValue,
                 nullptr,
                 L"--send /name={name}",
                 kWritable,
                 {"notice: not sent: --send is for pipe mode",
                  "marker: present but not the marker: Install = REG_DWORD (4 bytes: 07 00 00 00)",
                  "verdict: Tessaline would record completion for ", "it replaces the Install value"}},
        ToolCase{"a key the registry refuses",
                 Before::Nothing,
                 nullptr,
                 L"/name={name}\\" + kLongComponent,
                 1,
                 {"refused: a name component has 300 characters",
                  "verdict: Tessaline would not report completion: the registry refuses the key"}},
        // The setup's command line is taken as it was written, after the tool's own options, which may be
        // quoted and hold blanks.
        ToolCase{"the raw command line",
                 Before::Nothing,
                 nullptr,
                 L"--wait 5 --run \"C:\\no such \\\"folder\\Tessaline.exe\" /name=\"  {name}  \"  /x=\"a b\"",
                 2,
                 {"command line: /name=\"  SupportToolTest", "  \"  /x=\"a b\"\r\n",
                  "mode: registry: the first /name has the value \"  SupportToolTest", "run: did not start: error ",
                  "verdict: the Tessaline.exe to run did not start"}}),
    [](const testing::TestParamInfo<ToolCase>& info) { return std::to_string(info.index); });

TEST(SupportToolLook, ClosesWithoutARequestThatTheStandInCounts)
{
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--clients 1");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    EXPECT_EQ(RunProgram(L"TessalineCheck.exe", L"").exitCode, 0u);
    ASSERT_TRUE(peer.WaitForOutput("no request from client 1: it hung up"));
    // The look was no client: the one notice the stand-in answers is still to come.
    EXPECT_EQ(RunProgram(L"TessalineCheck.exe", L"--send").exitCode, 0u);
    const ChildResult peerEnd = peer.Wait();
    EXPECT_TRUE(peerEnd.finished) << peerEnd.output;
    EXPECT_NE(peerEnd.output.find("reply: 05 00 00 00 01"), std::string::npos) << peerEnd.output;
}

} // namespace
