// Who may use the pipes, as Windows enforces it: the "_EPM" instance's low label, read back from the live
// instance, and a low-integrity client let in there and refused elsewhere; remote clients refused. Wine 8
// keeps the label it is given and reports it, so that check runs there too; it enforces no integrity
// levels and serves no remote clients, so the others report themselves skipped there.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "PipeServer.h"
#include "Raised.h"
#include "TestPipes.h"
#include "TestSecurity.h"
#include "Watchdog.h"
#include "Wine.h"

namespace {

// A grant SID as a downloader for AppContainer clients passes it: ALL APPLICATION PACKAGES.
const wchar_t kAllApplicationPackages[] = L"S-1-15-2-1";

bool AnswerTrue(InputBuffer&, OutputBuffer& reply)
{
    reply.WriteBoolean(true);
    return true;
}

std::unique_ptr<IPC::PipeServer> Serve(const std::wstring& name, const std::wstring& grantSid,
                                       bool rejectRemoteClients = true, const std::wstring& securityDescriptor = L"")
{
    IPC::ServerOptions options;
    options.name = name;
    options.grantSid = grantSid;
    options.securityDescriptor = securityDescriptor;
    options.rejectRemoteClients = rejectRemoteClients;
    return std::make_unique<IPC::PipeServer>(options, AnswerTrue);
}

// Both server roles label their "_EPM" instance low, no-write-up, and an elevated downloader's plain
// instances with ElevatedServerSddl() are labelled medium, so that its user's unelevated setups may write to
// them: "Mandatory Integrity Control" in Microsoft's documentation. The endpoint's role is read from its own
// handle, the loop's from a client's, which names the same pipe.
TEST(WindowsOnly, InstancesAreLabelledForTheirClients)
{
    const std::wstring name = UniquePipeName(L"label");
    IPC::GrantSid = kAllApplicationPackages;
    std::unique_ptr<ConnectedPipes> endpoint;
    EXPECT_NO_THROW(endpoint = std::make_unique<ConnectedPipes>(Connect(name, IPC::AppContainerPipeName(name))));
    IPC::GrantSid.clear();
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(LabelOf(endpoint->server->NativeHandle()), kLowNoWriteUp);

    const std::wstring loopName = UniquePipeName(L"looplabel");
    const auto loop = Serve(loopName, kAllApplicationPackages);
    const IPC::Pipe client(IPC::AppContainerPipeName(loopName), true);
    EXPECT_EQ(LabelOf(client.NativeHandle()), kLowNoWriteUp);

    const std::wstring elevated = UniquePipeName(L"mediumlabel");
    const auto medium = Serve(elevated, L"", true, IPC::ElevatedServerSddl());
    EXPECT_EQ(LabelOf(IPC::Pipe(elevated, true).NativeHandle()), "S-1-16-8192 type 17 mask 1");
    EXPECT_EQ(
        RaisedBy([&] { Serve(elevated, L"", true, L"D:(A;;GA;;;NOBODY)"); }).rfind(L"Invalid security descriptor", 0),
        0u);
}

// A client at low integrity, as every process inside an AppContainer runs, opens the "_EPM" instance for
// writing and is answered; a plain instance, with default security and so medium integrity, refuses it
// (5): "Mandatory Integrity Control" and "Designing Applications to Run at a Low Integrity Level".
TEST(WindowsOnly, LowIntegrityClientIsAnsweredOnTheEpmInstanceOnly)
{
    SKIP_UNDER_WINE("enforces no integrity levels");
    const UniqueHandle low = LowIntegrityCopy();
    ASSERT_TRUE(low) << GetLastError();
    const std::wstring name = UniquePipeName(L"lowclient");
    const auto epm = Serve(name, kAllApplicationPackages);
    const auto plain = Serve(name + L"_plain", L"");
    const Impersonation acting(low.get());
    ASSERT_TRUE(acting.Active()) << GetLastError();
    EXPECT_EQ(OpenError(name + L"_plain"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    IPC::Pipe client(IPC::AppContainerPipeName(name), true);
    OutputBuffer request;
    request.WriteInteger(0);
    client.Write(request);
    EXPECT_TRUE(client.Read().ReadBoolean());
}

// PIPE_REJECT_REMOTE_CLIENTS: nothing reads it back (GetNamedPipeInfo reports the end and the type, the
// FILE_PIPE_LOCAL_INFORMATION of the pipe the type alone, in Microsoft's documentation), so what it does
// is shown: an open through the network redirector, \\localhost\pipe\NAME, comes to the pipe as a remote
// client ("Pipe Names", "CreateNamedPipeW"): the loop refuses it, and lets it in with the flag off.
// "CreateNamedPipeW" says only that such connections "are automatically rejected", not with which error,
// so the verdict is the refusal and the code is printed. A loopback through the redirector can stall
// (the Server service slow to answer, or not there): each open has a limit well inside the watchdog's.
TEST(WindowsOnly, LoopRefusesRemoteClients)
{
    SKIP_UNDER_WINE("has no network redirector that serves \\\\localhost\\pipe paths");
    const auto remote = [](const std::wstring& name) {
        return L"\\\\localhost\\pipe\\" + name.substr(name.rfind(L'\\') + 1);
    };
    const std::wstring accepting = UniquePipeName(L"remoteaccepted");
    const std::wstring rejecting = UniquePipeName(L"remoterejected");
    const auto accepts = Serve(accepting, L"", false);
    const auto rejects = Serve(rejecting, L"");
    const DWORD limit = Scaled(5000);
    const BoundedOpen accepted = OpenErrorWithin(remote(accepting), limit);
    if (!accepted.answered || accepted.error != ERROR_SUCCESS)
        GTEST_SKIP() << "no client comes in through \\\\localhost here ("
                     << (accepted.answered ? "error " + std::to_string(accepted.error)
                                           : "no answer within " + std::to_string(limit) + " ms")
                     << "): the Server service is off, or the redirector refuses this account";
    const BoundedOpen rejected = OpenErrorWithin(remote(rejecting), limit);
    std::printf("a remote client of the rejecting loop: %s\n",
                rejected.answered ? ("error " + std::to_string(rejected.error)).c_str() : "no answer, cancelled");
    EXPECT_NE(rejected.error, static_cast<DWORD>(ERROR_SUCCESS)) << "a remote client was let in";
    EXPECT_EQ(OpenError(rejecting), static_cast<DWORD>(ERROR_SUCCESS));
}

} // namespace
