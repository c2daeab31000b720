// DownloaderPeer: serves the downloader pipe, prints each completion notice it receives and answers it.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "ConsoleOutput.h"
#include "DownloaderConnection.h"
#include "Hex.h"
#include "OverlappedIo.h"
#include "PeerOptions.h"
#include "Pipe.h"
#include "PipeServer.h"
#include "ProcessIdentity.h"
#include "Text.h"
#include "ToolGuard.h"

namespace {

// Set by Ctrl+C, or once the clients asked for have been served. It stays set: a stop that comes before a
// wait begins is seen by that wait. The process's own, for as long as it runs.
HANDLE StopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(StopEvent);
    return TRUE;
}

bool Stopped() { return WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0; }

// False when a stop was asked for while waiting.
bool Pause(unsigned milliseconds)
{
    return milliseconds == 0 || WaitForSingleObject(StopEvent, milliseconds) == WAIT_TIMEOUT;
}

// True when it is the completion notice.
bool DescribeRequest(const InputBuffer& received)
{
    bool notice = false;
    InputBuffer request = received;
    const std::string bytes = request.Content();
    try {
        const std::int32_t code = request.ReadInteger();
        const std::wstring suffix = request.ReadString();
        PrintLine(L"request: code=" + std::to_wstring(code) + L" suffix=" + suffix + L" (" +
                  std::to_wstring(bytes.size()) + L" bytes)");
        notice = code == 0 && suffix == MakeInstanceSuffix() &&
                 request.Position() == static_cast<std::int64_t>(bytes.size());
        if (!notice)
            PrintLine(L"warning: not the completion notice this peer expects");
    } catch (const wexception<std::runtime_error>& error) {
        PrintLine(L"malformed request: " + error.message() + L" (" + std::to_wstring(bytes.size()) + L" bytes)");
    }
    PrintLine(L"request bytes: " + Widen(Hex(bytes), CP_UTF8));
    return notice;
}

// The answer to one request: printed, then, after the delay, the reply the options give to the notice, or
// none; anything else is no setup's and gets false.
bool Answer(const InputBuffer& request, OutputBuffer& reply, const PeerOptions& options)
{
    const bool notice = DescribeRequest(request);
    if (!Pause(options.replyDelayMs))
        return false;
    if (options.closeWithoutReply) {
        PrintLine(L"closing without a reply");
        return false;
    }
    if (notice)
        reply.WriteBytes(options.reply);
    else
        reply.WriteBoolean(false);
    return true;
}

std::wstring ErrorText(DWORD error) { return L"error " + std::to_wstring(error); }

// One line for each thing that happened. A client that sent a request counts once its exchange is over;
// one that sent none (the support tool's look, a setup killed while it connected) does not.
void Report(const IPC::ServerEvent& event, const std::wstring& name, const PeerOptions& options)
{
    using Kind = IPC::ServerEvent::Kind;
    static volatile LONG finished = 0;
    const std::wstring client = L"client " + std::to_wstring(event.client);
    switch (event.kind) {
    case Kind::Listening:
        PrintLine(L"listening on " + name);
        return;
    case Kind::Connected:
        PrintLine(client + L" connected (process " + std::to_wstring(event.processId) + L")");
        return;
    case Kind::NoRequest:
        PrintLine(L"no request from " + client + L": " +
                  (event.error == ERROR_BROKEN_PIPE ? L"it hung up" : ErrorText(event.error)));
        return;
    case Kind::RequestTooLong:
        PrintLine(L"no request from " + client + L": longer than the longest this peer reads");
        return;
    case Kind::Refused:
        PrintLine(client + L" refused: its process (" + std::to_wstring(event.processId) +
                  L") holds as many connections as it may");
        return;
    case Kind::InstanceFailed:
        PrintLine(L"cannot make the next pipe instance: " + ErrorText(event.error));
        return;
    case Kind::Answered:
        PrintLine(L"reply: " + Widen(Hex(event.reply), CP_UTF8));
        break;
    case Kind::ReplyFailed:
        PrintLine(L"reply not delivered to " + client + L": " + ErrorText(event.error));
        break;
    case Kind::Dropped:
        PrintLine(L"no reply to " + client + L": the peer stopped first");
        return;
    case Kind::NotAnswered:
    case Kind::HandlerFailed:
        break;
    }
    if (options.clients != 0 && static_cast<unsigned>(InterlockedIncrement(&finished)) == options.clients)
        SetEvent(StopEvent);
}

// A pipe that no downloader should serve, for seeing what Tessaline and the support tool make of it: in
// byte mode, where a client's switch to message mode fails, or one-way (the server only reads), where a
// read-write open is refused with error 5, as another account's pipe refuses it. Counts the clients
// that connect; a refused one never does. Each instance awaits its client with an overlapped connect
// that the stop cancels, as a correct server's does.
int ServeMisfit(const std::wstring& name, const PeerOptions& options, const IPC::Pipe::HandleObserver& announce)
{
    const DWORD openMode =
        (options.misfit == Misfit::ByteMode ? PIPE_ACCESS_DUPLEX : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED;
    const DWORD pipeMode = options.misfit == Misfit::ByteMode ? PIPE_TYPE_BYTE | PIPE_WAIT
                                                              : PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    // Outlives every instance: a cancelled connect has ended (OverlappedIo::Finish waits for it) before
    // its instance closes and the OVERLAPPED is reused.
    IPC::OverlappedIo connect;
    for (unsigned connected = 0; !Stopped() && (options.clients == 0 || connected < options.clients);) {
        const UniqueFile instance(
            CreateNamedPipeW(name.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, nullptr));
        if (!instance) {
            PrintLine(L"cannot serve the pipe: " + with_last_error(L"CreateNamedPipeW failed", GetLastError()));
            return 1;
        }
        announce(instance.get());
        DWORD bytes = 0;
        // "ConnectNamedPipe" in Microsoft's documentation: an overlapped connect that fails at once with
        // ERROR_PIPE_CONNECTED had its client before the call, with ERROR_NO_DATA one that came and went.
        // ERROR_OPERATION_ABORTED: the stop came first, and the connect was cancelled and has ended.
        const DWORD error = connect.Finish(instance.get(), ConnectNamedPipe(instance.get(), connect.Begin()), bytes,
                                           INFINITE, StopEvent);
        if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
            PrintLine(L"client " + std::to_wstring(++connected) + L" connected to a pipe it cannot use");
        } else if (error != ERROR_OPERATION_ABORTED) {
            // Any other failure would recur on the next instance at once.
            PrintLine(L"cannot serve the pipe: " + with_last_error(L"ConnectNamedPipe failed", error));
            return 1;
        }
    }
    PrintLine(L"stopped");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    PeerOptions options;
    const std::wstring problem = ParsePeerOptions(argc, argv, options);
    if (!problem.empty() || options.help)
        return AnswerUsage(problem, PeerUsage);

    // Never closed: a second Ctrl+C may run the handler until the process has ended.
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (StopEvent == nullptr) {
        PrintLine(L"cannot serve the pipe: " + with_last_error(L"CreateEventW failed", GetLastError()));
        return 1;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    const std::wstring name = options.pipeName.empty() ? DownloaderPipeName() : options.pipeName;

    if (!Pause(options.createDelayMs))
        return 0;
    // Said once the first instance exists, so that whoever waits for the line can connect at once.
    bool announced = false;
    const auto announce = [&](HANDLE) {
        if (!announced)
            PrintLine(L"listening on " + name);
        announced = true;
    };

    IPC::ServerOptions serving;
    serving.name = name;
    serving.grantSid = options.grantSid;
    // As the protocol document tells an elevated downloader to: its user's unelevated setups open the
    // instances, which would otherwise carry its high level and its elevated token's default DACL.
    if (options.grantSid.empty() && !options.defaultSecurity && AboveASetup(OwnIdentity()))
        serving.securityDescriptor = IPC::ElevatedServerSddl();
    const std::wstring served = options.grantSid.empty() ? name : IPC::AppContainerPipeName(name);
    try {
        if (options.misfit != Misfit::None)
            return ServeMisfit(name, options, announce);
        IPC::PipeServer server(
            serving, [&](InputBuffer& request, OutputBuffer& reply) { return Answer(request, reply, options); },
            [&](const IPC::ServerEvent& event) { Report(event, served, options); });
        WaitForSingleObject(StopEvent, INFINITE);
        // Clients still connected are let go; a reply already written is left time to be read.
        server.Stop();
    } catch (const wexception<std::runtime_error>& error) {
        PrintLine(L"cannot serve the pipe: " + error.message());
        return 1;
    }
    PrintLine(L"stopped");
    return 0;
}
