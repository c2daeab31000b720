// What only Windows shows of a downloader as a process among others: a second server of its name refused
// by the system, and an elevated downloader refusing a setup's unelevated Tessaline, which the support
// tool and the downloader check say. Wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE and has no UAC split
// token: there each reports itself skipped.
#include <gtest/gtest.h>

#include "AttemptRecorder.h"
#include "ChildProcess.h"
#include "DownloaderConnection.h"
#include "PipeServer.h"
#include "Raised.h"
#include "TestPipes.h"
#include "TestSecurity.h"
#include "Wine.h"

namespace {

// FILE_FLAG_FIRST_PIPE_INSTANCE makes the creation fail with ERROR_ACCESS_DENIED when the name has an
// instance already ("CreateNamedPipeW" in Microsoft's documentation): here another process's.
TEST(WindowsOnly, FirstInstanceRefusesANameAnotherProcessServes)
{
    SKIP_UNDER_WINE("ignores FILE_FLAG_FIRST_PIPE_INSTANCE: its refusal there comes from a look at the name (183)");
    const std::wstring name = UniquePipeName(L"taken");
    BackgroundProcess other(L"DownloaderPeer.exe", L"--clients 0 --pipe " + name);
    ASSERT_TRUE(other.WaitForOutput("listening on"));
    IPC::ServerOptions options;
    options.name = name;
    const Raised refused =
        RaisedWithCode([&] { IPC::PipeServer server(options, [](InputBuffer&, OutputBuffer&) { return false; }); });
    EXPECT_EQ(refused.code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(refused.message, L"Another server has this pipe name already (Error code: 5)");
}

// A downloader started elevated gets a pipe that grants full control to LocalSystem, the Administrators
// and its owner, the Administrators, and only reading to everyone else ("CreateNamedPipeW", "Named Pipe
// Security and Access Rights" in Microsoft's documentation): a setup's Tessaline on the unelevated token,
// where the Administrators group only denies, is refused (5). The elevated support tool warns of it, and
// the downloader check run on that token fails its check 6.1.
TEST(WindowsOnly, ElevatedDownloaderRefusesAnUnelevatedSetup)
{
    SKIP_UNDER_WINE("has no UAC split token: its linked token keeps the Administrators group and high integrity");
    const UnelevatedTwin twin = MakeUnelevatedTwin();
    if (!twin.token)
        GTEST_SKIP() << twin.why;
    ASSERT_EQ(TokenFacts(twin.token.get()), TokenFacts(twin.linked.get()));
    ASSERT_TRUE(NoInstanceOf(DownloaderPipeName()));
    BackgroundProcess downloader(L"DownloaderPeer.exe", L"--clients 0");
    ASSERT_TRUE(downloader.WaitForOutput("listening on"));
    {
        const Impersonation setup(twin.token.get());
        ASSERT_TRUE(setup.Active()) << GetLastError();
        EXPECT_EQ(OpenError(DownloaderPipeName()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    const ChildResult look = RunProgram(L"TessalineCheck.exe", L"");
    EXPECT_NE(look.output.find("warning [elevated downloader]: "), std::string::npos) << look.output;
    BackgroundProcess check(L"DownloaderCheck.exe", L"6.1", twin.token.get());
    const ChildResult checked = check.Wait();
    EXPECT_EQ(checked.exitCode, 1u) << checked.output;
    EXPECT_NE(checked.output.find(" 6.1 FAIL "), std::string::npos) << checked.output;
    EXPECT_NE(checked.output.find("error 5"), std::string::npos) << checked.output;
}

} // namespace
