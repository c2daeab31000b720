// DownloaderPeer: serves the downloader pipe, prints each completion notice it receives and answers it.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "DownloaderConnection.h"
#include "Hex.h"
#include "PeerOptions.h"
#include "Pipe.h"
#include "PipeSecurity.h"
#include "Text.h"

namespace {

HANDLE StopEvent = nullptr;
volatile LONG Stopping = 0;

void Print(const std::wstring& line)
{
    const std::string utf8 = Narrow(line + L"\n", CP_UTF8);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    InterlockedExchange(&Stopping, 1);
    SetEvent(StopEvent);
    IPC::CancelPendingConnect();
    return TRUE;
}

// False when a stop was asked for while waiting.
bool Pause(unsigned milliseconds)
{
    return milliseconds == 0 || WaitForSingleObject(StopEvent, milliseconds) == WAIT_TIMEOUT;
}

void DescribeRequest(const InputBuffer& received)
{
    InputBuffer request = received;
    const std::string bytes = request.Content();
    try {
        const std::int32_t code = request.ReadInteger();
        const std::wstring suffix = request.ReadString();
        Print(L"request: code=" + std::to_wstring(code) + L" suffix=" + suffix + L" (" + std::to_wstring(bytes.size()) +
              L" bytes)");
        if (code != 0 || suffix != MakeInstanceSuffix() ||
            request.Position() != static_cast<std::int64_t>(bytes.size()))
            Print(L"warning: not the completion notice this peer expects");
    } catch (const wexception<std::runtime_error>& error) {
        Print(L"malformed request: " + error.message() + L" (" + std::to_wstring(bytes.size()) + L" bytes)");
    }
    Print(L"request bytes: " + Widen(Hex(bytes), CP_UTF8));
}

void Serve(IPC::Pipe& pipe, const PeerOptions& options)
{
    InputBuffer request;
    try {
        request = pipe.Read();
    } catch (const wexception<std::runtime_error>& error) {
        Print(L"no request: " + error.message());
        return;
    }
    DescribeRequest(request);

    if (!Pause(options.replyDelayMs))
        return;
    if (options.closeWithoutReply) {
        Print(L"closing without a reply");
        return;
    }
    try {
        OutputBuffer reply;
        reply.WriteBytes(options.reply);
        pipe.Write(reply);
        // Closing drops what the client has not read yet, so wait until it has.
        FlushFileBuffers(pipe.NativeHandle());
        Print(L"reply: " + Widen(Hex(options.reply), CP_UTF8));
    } catch (const wexception<std::runtime_error>& error) {
        Print(L"reply not delivered: " + error.message());
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    PeerOptions options;
    const std::wstring problem = ParsePeerOptions(argc, argv, options);
    if (!problem.empty() || options.help) {
        std::fputws(problem.empty() ? L"" : (problem + L"\n").c_str(), stderr);
        std::fputws(PeerUsage, problem.empty() ? stdout : stderr);
        return problem.empty() ? 0 : 2;
    }

    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const UniqueHandle stopEventOwner(StopEvent);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    const std::wstring name = options.pipeName.empty() ? DownloaderPipeName() : options.pipeName;
    IPC::GrantSid = options.grantSid;

    if (!Pause(options.createDelayMs))
        return 0;
    // Said once the first instance exists, so that whoever waits for the line can connect at once.
    bool announced = false;
    const auto announce = [&] {
        if (!announced)
            Print(L"listening on " + name + (options.grantSid.empty() ? L"" : L"_EPM"));
        announced = true;
    };

    for (unsigned served = 0; options.clients == 0 || served < options.clients; ++served) {
        std::unique_ptr<IPC::Pipe> pipe;
        try {
            pipe.reset(new IPC::Pipe(name, false, announce));
        } catch (const wexception<std::runtime_error>& error) {
            if (Stopping)
                break;
            Print(L"cannot serve the pipe: " + error.message());
            return 1;
        }
        Print(L"client " + std::to_wstring(served + 1) + L" connected");
        Serve(*pipe, options);
        if (Stopping)
            break;
    }
    Print(L"stopped");
    return 0;
}
