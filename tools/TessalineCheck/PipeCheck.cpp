#include "PipeCheck.h"

#include <cwchar>
#include <memory>

#include "Account.h"
#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "Handles.h"
#include "Hex.h"
#include "Pipe.h"
#include "PipeSecurity.h"
#include "Text.h"

namespace {

const DWORD kNoCode = 0xFFFFFFFF;

// The code a message of the pipe code carries, in either of the forms it writes.
DWORD CodeIn(const std::wstring& message)
{
    for (const wchar_t* label : {L"(Error code: ", L"(HRESULT = "}) {
        const std::size_t at = message.find(label);
        if (at != std::wstring::npos)
            return std::wcstoul(message.c_str() + at + std::wcslen(label), nullptr, 10);
    }
    return kNoCode;
}

struct KnownFailure {
    const wchar_t* message; // how the message starts
    DWORD code;             // the code it carries, or kNoCode
    const wchar_t* meaning;
    const wchar_t* reason;
};

// The ways an open fails, for a setup author; the setup author's guide has the same table.
const KnownFailure kKnownFailures[] = {
    {L"Unable to connect to a named pipe", ERROR_FILE_NOT_FOUND,
     L"no process serves the pipe: the downloader is not running (the setup was started by hand), or it "
     L"creates its pipe more than about five seconds after the setup runs Tessaline",
     L"no downloader serves its pipe (error 2)"},
    {L"Unable to connect to a named pipe", ERROR_ACCESS_DENIED,
     L"the pipe is there but refuses this account: a downloader of another user, one that runs elevated or at a "
     L"higher integrity level than the setup, or another program that took the name first with access rules of "
     L"its own",
     L"the pipe refuses this account (error 5)"},
    {L"Unable to connect to a named pipe", ERROR_PIPE_BUSY,
     L"every instance of the pipe serves another client, and the one that came free was taken by another client "
     L"first: the downloader is busy with other clients (another Tessaline, a check like this one)",
     L"the pipe is busy (error 231)"},
    {L"Timeout while trying to connect to a named pipe, pipe is busy", kNoCode,
     L"every instance of the pipe serves another client, and none came free within 3 s: the downloader is busy "
     L"with other clients, or makes no new instance for the next one; Tessaline retries, each attempt waiting up "
     L"to 3 s more",
     L"every instance of the pipe stays busy"},
    {L"SetNamedPipeHandleState failed", ERROR_INVALID_PARAMETER,
     L"the pipe is not in message mode: what serves the name is not the downloader (or a downloader that "
     L"creates its pipe in byte mode), and Tessaline cannot talk to it",
     L"the pipe is not a message-mode pipe: not the downloader's"},
};

// Whether the name has an instance, without connecting to it.
std::wstring Presence(const std::wstring& name, bool& exists)
{
    exists = true;
    if (WaitNamedPipeW(name.c_str(), 1))
        return L"exists, with an instance free for a client";
    const DWORD error = GetLastError();
    if (error == ERROR_SEM_TIMEOUT)
        return L"exists, but every instance is busy with another client";
    exists = false;
    if (error == ERROR_FILE_NOT_FOUND)
        return L"does not exist (error 2)";
    return L"cannot be asked for (error " + Decimal(error) + L": " + SystemMessage(error) + L")";
}

// Who serves the pipe, asked on the client's handle as soon as it is open.
struct ServerSeen {
    bool asked = false;
    DWORD processId = 0;
    DWORD processError = ERROR_SUCCESS;
    ULONG session = 0;
    bool sessionKnown = false;
};

void SayServer(const ServerSeen& server, const Account& self)
{
    if (!server.asked)
        return;
    if (server.processError != ERROR_SUCCESS) {
        Say(L"served by", L"a process this account may not ask about (error " + Decimal(server.processError) + L")");
        return;
    }
    const ProcessView view = ViewProcess(server.processId);
    std::wstring text = L"process " + Decimal(server.processId);
    text += view.image.empty() ? L", image not visible to this account (error " + Decimal(view.imageError) + L")"
                               : L", " + view.image;
    if (server.sessionKnown)
        text += L", session " + Decimal(server.session);
    Say(L"served by", text);
    // Under Wine every process has the same account, session and (high) integrity level: another user,
    // another session and a lower level are what Windows shows, and Wine cannot.
    Say(L"server's account", view.account.Describe());
    if (!view.account.known)
        return;
    const bool sameAccount = view.account.sid == self.sid;
    const bool sameSession = !server.sessionKnown || server.session == self.session;
    if (sameAccount && sameSession)
        Say(L"same account", L"yes, and the same session as this tool");
    else
        Say(L"same account", std::wstring(sameAccount ? L"the same account" : L"another account") +
                                 (sameSession ? L", in this session" : L", in another session") +
                                 L": a setup run as this account talks to that process");
}

// The reply read on a thread of its own, so that a downloader that never answers holds only that thread.
struct ReplyRead {
    std::shared_ptr<IPC::Pipe> pipe;
    std::string bytes;
    std::wstring failure;
};

DWORD WINAPI ReadReply(void* context)
{
    // The thread holds one reference and lets it go when it ends; one that never ends keeps it.
    const std::unique_ptr<std::shared_ptr<ReplyRead>> read(static_cast<std::shared_ptr<ReplyRead>*>(context));
    try {
        (*read)->bytes = (*read)->pipe->Read().Content();
    } catch (const wexception<std::runtime_error>& error) {
        (*read)->failure = error.message();
    }
    return 0;
}

Verdict SendNotice(const std::shared_ptr<IPC::Pipe>& pipe, DWORD waitMs)
{
    OutputBuffer request;
    BuildCompletionRequest(request);
    const std::string bytes = request.Content();
    try {
        pipe->Write(request);
    } catch (const wexception<std::runtime_error>& error) {
        Say(L"notice", L"not sent: " + error.message());
        return WouldNotReport(L"the request cannot be written (" + error.message() + L")");
    }
    Say(L"notice",
        L"sent, " + Decimal(static_cast<unsigned long>(bytes.size())) + L" bytes: " + Widen(Hex(bytes), CP_UTF8));

    const DWORD start = GetTickCount();
    const auto read = std::make_shared<ReplyRead>();
    read->pipe = pipe;
    auto reference = std::make_unique<std::shared_ptr<ReplyRead>>(read);
    const UniqueHandle reader(CreateThread(nullptr, 0, ReadReply, reference.get(), 0, nullptr));
    if (!reader) {
        const DWORD error = GetLastError();
        return {Outcome::ToolFailed, L"this tool cannot wait for the answer: no thread (error " + Decimal(error) + L")",
                std::wstring()};
    }
    // The thread's now, to let go when it ends.
    reference.release();
    if (WaitForSingleObject(reader.get(), waitMs) != WAIT_OBJECT_0) {
        // The blocked read ends with the tool; its thread keeps what it reads into until then.
        Say(L"answer", L"none within " + Seconds(waitMs) +
                           L"; Tessaline waits for it without a time limit, and the setup with it");
        return WouldNotReport(L"the downloader did not answer within " + Seconds(waitMs) +
                              L", and a setup would wait until it does");
    }
    const std::wstring took = Seconds(GetTickCount() - start);
    if (!read->failure.empty()) {
        Say(L"answer", L"none: " + read->failure + L", after " + took);
        const bool hungUp = read->failure == L"Pipe disconnected";
        return WouldNotReport(hungUp ? std::wstring(L"the downloader closed the connection without answering")
                                     : L"the answer cannot be read (" + read->failure + L")");
    }
    Say(L"answer", Widen(Hex(read->bytes), CP_UTF8) + L" (" + Decimal(static_cast<unsigned long>(read->bytes.size())) +
                       L" bytes), after " + took);
    // Read the way Tessaline reads it.
    InputBuffer reply(read->bytes);
    bool answer = false;
    try {
        answer = reply.ReadBoolean();
    } catch (const wexception<std::runtime_error>& error) {
        Say(L"read as", L"not an answer: " + error.message() + L"; Tessaline ends with E_FAIL");
        return WouldNotReport(L"the downloader's reply is not an answer (" + error.message() + L")");
    }
    Say(L"read as", answer ? L"true; Tessaline ends with S_OK" : L"false; Tessaline ends with E_FAIL");
    if (answer)
        return {Outcome::Reports, L"Tessaline would report completion: the downloader answered true", std::wstring()};
    return WouldNotReport(L"the downloader answered false");
}

} // namespace

OpenFailureMeaning MeaningOfOpenFailure(const std::wstring& message)
{
    const DWORD code = CodeIn(message);
    for (const KnownFailure& known : kKnownFailures) {
        if (message.compare(0, std::wcslen(known.message), known.message) == 0 && code == known.code)
            return {known.meaning, known.reason};
    }
    const std::wstring system = code == kNoCode ? std::wstring() : SystemMessage(code);
    return {L"not one of the usual causes" + (system.empty() ? std::wstring() : L"; Windows says: " + system),
            L"the pipe cannot be opened (" + message + L")"};
}

Verdict CheckPipeMode(bool send, DWORD waitMs)
{
    const std::wstring name = DownloaderPipeName();
    Say(L"mode", L"pipe: no /name with a value, so Tessaline tells the running downloader that setup is complete");
    const bool appContainer = IPC::is_app_container();
    Say(L"pipe", name + (appContainer ? L"_EPM (this process runs inside an AppContainer)" : L""));
    bool exists = false;
    bool twinExists = false;
    Say(L"pipe is there", Presence(name, exists));
    Say(L"_EPM twin",
        Presence(name + L"_EPM", twinExists) + (twinExists ? L"; it serves setups inside an AppContainer only" : L""));

    const Account self = OwnAccount();
    ServerSeen server;
    const auto observe = [&server](HANDLE handle) {
        server.asked = true;
        ULONG processId = 0;
        if (GetNamedPipeServerProcessId(handle, &processId))
            server.processId = processId;
        else
            server.processError = GetLastError();
        server.sessionKnown = GetNamedPipeServerSessionId(handle, &server.session) != FALSE;
    };
    std::shared_ptr<IPC::Pipe> pipe;
    std::wstring failure;
    const DWORD start = GetTickCount();
    try {
        pipe = std::make_shared<IPC::Pipe>(name, true, observe);
    } catch (const wexception<std::runtime_error>& error) {
        failure = error.message();
    }
    const std::wstring took = Seconds(GetTickCount() - start);
    Say(L"opened as Tessaline opens it",
        failure.empty() ? L"yes, in message mode, after " + took : L"no, after " + took + L": " + failure);
    SayServer(server, self);
    if (!failure.empty()) {
        const OpenFailureMeaning meaning = MeaningOfOpenFailure(failure);
        std::wstring why = meaning.meaning;
        if (!exists && twinExists && !appContainer)
            why += L"; only the _EPM twin is there, which Tessaline opens only inside an AppContainer";
        Say(L"what it means", why);
        return WouldNotReport(meaning.reason);
    }
    if (send)
        return SendNotice(pipe, waitMs);
    Say(L"notice", L"not sent (--send sends it); the connection closes without a request");
    return {Outcome::Reports, L"Tessaline would reach the downloader; its answer decides, and --send asks for it",
            std::wstring()};
}
