// The support tool against the project's downloader stand-in, the test's own pipe and the real registry:
// each verdict once, by its facts (exit code, error codes, bytes, names), not its sentences. Under Wine
// every process has one account, one session and a high integrity level, and an elevated token unless it
// is started with its linked one; the unit test SupportToolFacts takes what Wine cannot show.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <sstream>

#include "AttemptRecorder.h"
#include "ChildProcess.h"
#include "DownloaderConnection.h"
#include "TestRegistry.h"

namespace {

const wchar_t kRoot[] = L"Software\\Tessaline\\";

bool Elevated()
{
    UniqueHandle token;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()) &&
           GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

// Completion reported, or that it would be, comes with exit code 4 where the tool runs elevated, as
// under Wine: HKCU may be another administrator's, and the stand-in's pipe lets in administrators only.
const DWORD kReports = Elevated() ? 4 : 0;

// Whether some line "label: ..." of the output holds the fact.
bool Holds(const std::string& output, const std::string& label, const std::string& fact)
{
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(label + ": ", 0) == 0 && line.find(fact) != std::string::npos)
            return true;
    return false;
}

// Each "label: fact" of the list, separated by "; ", holds.
void ExpectFacts(const std::string& output, const std::string& facts)
{
    std::istringstream list(facts + "; ");
    for (std::string label, fact; std::getline(list, label, ':') && list.get() == ' ' && std::getline(list, fact, ';');)
        EXPECT_TRUE(Holds(output, label.substr(label.find_first_not_of(' ')), fact)) << label << ": " << fact << " in\n"
                                                                                     << output;
}

struct ToolCase {
    const char* what;
    std::wstring before; // the stand-in's options ("--..."), or a type for an Install value of 31 00 00 00
    std::wstring tool;   // the tool's command line; "{name}" stands for this test's product name
    DWORD exitCode;
    const char* facts; // "label: fact; ..."
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.what; }

class SupportTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = L"SupportToolTest" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(NoInstanceOf(DownloaderPipeName()));
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, (kRoot + name_).c_str()); }

    // Whether the key is there, and its Install value's status, type and bytes.
    std::string Marker() const
    {
        const UniqueKey key = OpenUserKey(kRoot + name_);
        const InstallValue value = key ? ReadInstallValue(key.get()) : InstallValue();
        return std::to_string(static_cast<bool>(key)) + "/" + std::to_string(value.status) + "/" + value.Describe();
    }

    std::wstring name_;
};

class SupportToolVerdicts : public SupportTool, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(SupportToolVerdicts, RestOnFacts)
{
    const ToolCase& c = GetParam();
    std::unique_ptr<BackgroundProcess> peer;
    if (c.before.rfind(L"--", 0) == 0) {
        peer = std::make_unique<BackgroundProcess>(L"DownloaderPeer.exe", c.before);
        ASSERT_TRUE(peer->WaitForOutput("listening on"));
    } else if (!c.before.empty()) {
        const DWORD type = c.before == L"REG_SZ"          ? REG_SZ
                           : c.before == L"REG_EXPAND_SZ" ? REG_EXPAND_SZ
                           : c.before == L"REG_BINARY"    ? REG_BINARY
                                                          : REG_DWORD;
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, (kRoot + name_).c_str(), L"Install", type, "1\0\0\0", 4),
                  ERROR_SUCCESS);
    }
    const std::string before = Marker();
    std::wstring arguments = c.tool;
    const std::size_t placeholder = arguments.find(L"{name}");
    if (placeholder != std::wstring::npos)
        arguments.replace(placeholder, 6, name_);
    const ChildResult run = RunProgram(L"TessalineCheck.exe", arguments);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    ExpectFacts(run.output, c.facts);
    // The warnings of an elevated tool, wherever they apply.
    EXPECT_EQ(Holds(run.output, "warning [elevated]", "over-the-shoulder"),
              Elevated() && Holds(run.output, "mode", "registry"));
    EXPECT_EQ(Holds(run.output, "warning [elevated downloader]", "error 5"),
              Elevated() && Holds(run.output, "opened as Tessaline opens it", "yes"));
    // One verdict, the last line, where the tool got as far as one; lines end the Windows way.
    const std::size_t verdict = run.output.rfind("verdict: ");
    if (verdict != std::string::npos || c.exitCode != 2) {
        EXPECT_EQ(run.output.find("verdict: "), verdict) << run.output;
        EXPECT_EQ(run.output.find("\r\n", verdict) + 2, run.output.size()) << run.output;
    }
    EXPECT_EQ(Marker(), before) << "the look changed the registry";
}

INSTANTIATE_TEST_SUITE_P(
    SupportTool, SupportToolVerdicts,
    ::testing::Values(
        ToolCase{"no downloader", L"", L"", 1,
                 "command line: (empty); pipe is there: error 2; opened as Tessaline opens it: error 2 at the last of "
                 "11 attempts; verdict: (error 2)"},
        ToolCase{"true, then more bytes", L"--reply 05000000800102", L"--send", kReports,
                 "answer: (7 bytes); read as: S_OK"},
        ToolCase{"answer false", L"--reply false", L"--send", 1, "answer: 05 00 00 00 00 (5 bytes); read as: E_FAIL"},
        ToolCase{"not an answer", L"--reply 0500", L"--send", 1, "answer: 05 00 (2 bytes); read as: E_FAIL"},
        ToolCase{"no answer in time", L"--reply-delay 60000", L"--send --wait 1", 1, "answer: none within 1.00 s"},
        ToolCase{"a hang-up", L"--close", L"--send", 1, "answer: error 109; verdict: (error 109)"},
        ToolCase{"a byte-mode pipe", L"--byte-mode --clients 0", L"", 1,
                 "opened as Tessaline opens it: error 87 at the last of 11 attempts; served by: \\DownloaderPeer.exe; "
                 "verdict: (error 87)"},
        ToolCase{"a refusing pipe", L"--one-way", L"", 1,
                 "opened as Tessaline opens it: error 5 at the last of 11 attempts; verdict: (error 5)"},
        ToolCase{"marker absent", L"", L"/name={name}", kReports,
                 "key: HKEY_CURRENT_USER\\Software\\Tessaline\\SupportToolTest; marker: absent"},
        ToolCase{"marker present", L"REG_SZ", L"/NAME={name} /x=1", kReports,
                 "marker: present: Install = REG_SZ \"1\" (4 bytes: 31 00 00 00)"},
        // The marker's bytes under another type are not the marker.
        ToolCase{"REG_EXPAND_SZ", L"REG_EXPAND_SZ", L"--send /name={name}", kReports,
                 "notice: not sent; marker: not the marker: Install = REG_EXPAND_SZ"},
        ToolCase{"REG_BINARY", L"REG_BINARY", L"/name={name}", kReports,
                 "marker: not the marker: Install = REG_BINARY"},
        ToolCase{"a key the registry refuses", L"", L"/name={name}\\" + std::wstring(300, L'k'), 1,
                 "can Tessaline write it: 300 characters; verdict: (error 87)"},
        // The setup's command line is taken as it was written, after the tool's own options, which may be
        // quoted and hold blanks.
        ToolCase{"the raw command line", L"",
                 L"--wait 5 --run \"C:\\no such \\\"folder\\Tessaline.exe\" /name=\"  {name}  \"  /x=\"a b\"", 2,
                 "command line: /name=\"  SupportToolTest; command line:   \"  /x=\"a b\"\r; mode: value \"  "
                 "SupportToolTest; run: did not start: error 123"},
        ToolCase{"a wrong command line", L"", L"--wait 0", 2, "TessalineCheck: --wait"},
        ToolCase{"--send with --run", L"", L"--send --run Tessaline.exe", 2, "TessalineCheck: --send and --run"},
        // A program that ends with S_OK and writes no marker: the run's own evidence decides.
        ToolCase{"S_OK without the marker", L"", L"--run \"" + ProgramFolder() + L"guard_probe.exe\" /name={name}", 1,
                 "marker after the run: absent; verdict: S_OK, but its marker"}),
    [](const testing::TestParamInfo<ToolCase>& info) { return std::to_string(info.index); });

TEST_F(SupportTool, LookClosesWithoutARequestThatTheStandInCounts)
{
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--clients 1");
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    const ChildResult look = RunProgram(L"TessalineCheck.exe", L"");
    EXPECT_EQ(look.exitCode, kReports);
    ExpectFacts(look.output, "opened as Tessaline opens it: yes, at attempt 1 of at most 11; served by: "
                             "\\DownloaderPeer.exe, session ; same as this tool: user yes, session yes, elevation "
                             "yes; notice: not sent");
    ASSERT_TRUE(peer.WaitForOutput("no request from client 1: it hung up"));
    // The look was no client: the one notice the stand-in answers is still to come.
    const ChildResult sent = RunProgram(L"TessalineCheck.exe", L"--send");
    EXPECT_EQ(sent.exitCode, kReports);
    ExpectFacts(sent.output, "notice: 92 bytes: 00 00 00 00 00 00 00 00 02 00 00 00 26 00 00 00 7B 00 43 00; answer: "
                             "05 00 00 00 01 (5 bytes); read as: S_OK");
    const ChildResult peerEnd = peer.Wait();
    EXPECT_TRUE(peerEnd.finished) << peerEnd.output;
    EXPECT_NE(peerEnd.output.find("reply: 05 00 00 00 01"), std::string::npos) << peerEnd.output;
}

// The downloader's pipe with one instance, served by the test itself.
UniqueFile OneInstance()
{
    return UniqueFile(CreateNamedPipeW(DownloaderPipeName().c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 1024, 1024, 0,
                                       nullptr));
}

// Serves clients until one sends a request, and returns its size: the tool's look sends none.
DWORD NextRequest(HANDLE server)
{
    char request[128];
    DWORD bytes = 0;
    do {
        DisconnectNamedPipe(server);
        if (!ConnectNamedPipe(server, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            return 0;
    } while (!ReadFile(server, request, sizeof request, &bytes, nullptr));
    return bytes;
}

// A downloader busy with another client for 5 s, then free: the tool's attempts wait as Tessaline's do.
TEST_F(SupportTool, WaitsOutABusyDownloaderAsTessalineDoes)
{
    const UniqueFile server = OneInstance();
    UniqueFile holder(
        CreateFileW(DownloaderPipeName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(server && holder);
    BackgroundProcess tool(L"TessalineCheck.exe", L"--send");
    ASSERT_TRUE(tool.WaitForOutput("_EPM twin: "));
    Sleep(5000);
    ASSERT_EQ(WaitForSingleObject(tool.Handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "it gave up on a busy pipe";
    holder.reset();
    ASSERT_EQ(NextRequest(server.get()), 92u);
    DWORD bytes = 0;
    ASSERT_TRUE(WriteFile(server.get(), "\5\0\0\0\1", 5, &bytes, nullptr));
    const ChildResult run = tool.Wait();
    EXPECT_EQ(run.exitCode, kReports) << run.output;
    EXPECT_TRUE(Holds(run.output, "read as", "S_OK"));
    EXPECT_FALSE(Holds(run.output, "opened as Tessaline opens it", "yes, at attempt 1 ")) << run.output;
}

// Tessaline run with --run goes with the tool, however the tool ends: it runs in the tool's kill-on-close
// job. Its end of the pipe closes.
TEST_F(SupportTool, RunEndsWithTheTool)
{
    const UniqueFile server = OneInstance();
    ASSERT_TRUE(server);
    BackgroundProcess tool(L"TessalineCheck.exe", L"--run " + QuoteArgument(ProgramFolder() + L"Tessaline.exe"));
    ASSERT_EQ(NextRequest(server.get()), 92u);
    TerminateProcess(tool.Handle(), 1);
    DWORD error = ERROR_SUCCESS;
    for (const DWORD start = GetTickCount(); error == ERROR_SUCCESS && GetTickCount() - start < Scaled(5000); Sleep(20))
        error = PeekNamedPipe(server.get(), nullptr, 0, nullptr, nullptr, nullptr) ? ERROR_SUCCESS : GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE)) << "Tessaline still holds the pipe";
}

// An elevated tool against a downloader that runs unelevated as the same user: a setup opens that pipe
// elevated or not, so the look holds for it. Wine's linked token is unelevated, at high integrity still.
TEST_F(SupportTool, ElevatedLookAtAnUnelevatedDownloaderHoldsForASetup)
{
    UniqueHandle own;
    UniqueHandle unelevated;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (Elevated() && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.receive()) &&
        GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof linked, &size)) {
        const UniqueHandle twin(linked.LinkedToken);
        // A process starts with a primary token, which Windows makes of this one only for a caller with the
        // TCB privilege; Wine for any.
        static_cast<void>(DuplicateTokenEx(twin.get(), TOKEN_ALL_ACCESS, nullptr, SecurityIdentification, TokenPrimary,
                                           unelevated.receive()));
    }
    if (!unelevated)
        GTEST_SKIP() << "no unelevated twin of this test's elevated token to start a process with";
    BackgroundProcess peer(L"DownloaderPeer.exe", L"--reply true", unelevated.get());
    ASSERT_TRUE(peer.WaitForOutput("listening on"));
    const ChildResult run = RunProgram(L"TessalineCheck.exe", L"--send");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    ExpectFacts(run.output, "server's account: not elevated; same as this tool: elevation no; for a setup: elevated "
                            "or not; read as: S_OK");
}

} // namespace
