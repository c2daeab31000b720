#include "PipeCheck.h"

#include <memory>
#include <optional>

#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "ErrorText.h"
#include "Handles.h"
#include "Hex.h"
#include "OpenFailures.h"
#include "Pipe.h"
#include "PipeSecurity.h"
#include "Text.h"

namespace {

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
    return L"cannot be asked for (" + ErrorText(error) + L")";
}

// A failure of the pipe code, kept beyond its handler: its message and code.
struct Failure {
    std::wstring message;
    DWORD code = 0;
    const KnownFailure* known = nullptr;

    explicit Failure(const wexception<std::runtime_error>& error)
        : message(error.message()), code(error.error_code()), known(FindKnownFailure(error))
    {}
    // "error 2: Unable to connect to a named pipe (Error code: 2)"
    std::wstring Line() const { return L"error " + Decimal(code) + L": " + message; }
    // "no downloader serves its pipe (error 2)", or the message for one that is not a usual one.
    std::wstring Reason(const wchar_t* otherwise) const
    {
        return (known != nullptr ? std::wstring(known->reason) : otherwise + (L": " + message)) + L" (error " +
               Decimal(code) + L")";
    }
};

// The reply read on a thread of its own, so that a downloader that never answers holds only that thread.
struct ReplyRead {
    std::shared_ptr<IPC::Pipe> pipe;
    std::string bytes;
    std::optional<Failure> failure;
    std::wstring unexpected; // anything else the read raised, as text
};

DWORD WINAPI ReadReply(void* context)
{
    // The thread holds one reference and lets it go when it ends; one that never ends keeps it.
    const std::unique_ptr<std::shared_ptr<ReplyRead>> read(static_cast<std::shared_ptr<ReplyRead>*>(context));
    try {
        (*read)->bytes = (*read)->pipe->Read().Content();
    } catch (const wexception<std::runtime_error>& error) {
        (*read)->failure.emplace(error);
    } catch (const std::exception& error) {
        (*read)->unexpected = Widen(error.what(), CP_ACP);
    } catch (...) {
        (*read)->unexpected = L"an exception of no standard type";
    }
    return 0;
}

Verdict SendNotice(const std::shared_ptr<IPC::Pipe>& pipe, DWORD waitMs, unsigned differences)
{
    OutputBuffer request;
    BuildCompletionRequest(request);
    const std::string bytes = request.Content();
    try {
        pipe->Write(request);
    } catch (const wexception<std::runtime_error>& error) {
        const Failure failure(error);
        Say(L"notice", L"not sent: " + failure.Line());
        return WouldNotReport(failure.Reason(L"the request cannot be written"));
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
        return {Outcome::ToolFailed, L"this tool cannot wait for the answer: no thread (" + ErrorText(error) + L")"};
    }
    // The thread's now, to let go when it ends.
    static_cast<void>(reference.release());
    if (WaitForSingleObject(reader.get(), waitMs) != WAIT_OBJECT_0) {
        // The blocked read ends with the tool; its thread keeps what it reads into until then.
        Say(L"answer", L"none within " + Seconds(waitMs) + L" (--wait); Tessaline waits for it without a time limit");
        return WouldNotReport(L"the downloader did not answer within " + Seconds(waitMs) +
                              L", and a setup would wait until it does");
    }
    const std::wstring took = Seconds(GetTickCount() - start);
    if (!read->unexpected.empty())
        return {Outcome::ToolFailed, L"this tool could not read the answer: " + read->unexpected};
    if (read->failure) {
        Say(L"answer", L"none: " + read->failure->Line() + L", after " + took);
        return WouldNotReport(read->failure->Reason(L"the answer cannot be read"));
    }
    Say(L"answer", Widen(Hex(read->bytes), CP_UTF8) + L" (" + Decimal(static_cast<unsigned long>(read->bytes.size())) +
                       L" bytes), after " + took);
    // Decided by the program's own reading of a reply.
    InputBuffer reply(read->bytes);
    HRESULT result = E_FAIL;
    try {
        result = ResultOfReply(reply);
    } catch (const wexception<std::runtime_error>& error) {
        Say(L"read as", L"not an answer: " + error.message() + L"; Tessaline ends with E_FAIL");
        return WouldNotReport(L"the downloader's reply is not an answer (" + error.message() + L")");
    }
    if (result != S_OK) {
        Say(L"read as", L"false; Tessaline ends with E_FAIL");
        return WouldNotReport(L"the downloader answered false");
    }
    Say(L"read as", L"true; Tessaline ends with S_OK");
    return Reported(L"Tessaline would report completion: the downloader answered true", differences);
}

} // namespace

Verdict CheckPipeMode(const ToolAccount& account, bool send, DWORD waitMs)
{
    const std::wstring name = DownloaderPipeName();
    Say(L"mode", L"pipe: no /name with a value, so Tessaline tells the running downloader that setup is complete");
    const bool appContainer = IPC::is_app_container();
    Say(L"pipe",
        appContainer ? IPC::AppContainerPipeName(name) + L" (this process runs inside an AppContainer)" : name);
    bool exists = false;
    bool twinExists = false;
    Say(L"pipe is there", Presence(name, exists));
    Say(L"_EPM twin", Presence(IPC::AppContainerPipeName(name), twinExists) +
                          (twinExists ? L"; it serves setups inside an AppContainer only" : L""));

    // Through the program's own retry: who serves the pipe is asked on each attempt's handle, and the
    // last attempt's facts are the ones that count.
    unsigned attempts = 0;
    std::optional<ServerFacts> attemptServer;
    std::optional<ServerFacts> server;
    std::optional<Failure> lastFailure;
    RetryWatch watch;
    watch.opened = [&attemptServer](HANDLE handle) { attemptServer = ServerOfPipe(handle); };
    watch.attempted = [&](const wexception<std::runtime_error>* failure) {
        ++attempts;
        server = std::move(attemptServer);
        attemptServer.reset();
        if (failure != nullptr)
            lastFailure.emplace(*failure);
    };
    std::shared_ptr<IPC::Pipe> pipe;
    const DWORD start = GetTickCount();
    try {
        pipe = OpenPipeWithRetry(name, watch);
    } catch (const wexception<std::runtime_error>&) {
        // "Unable to open named pipe.": the last attempt's failure, kept above, says why.
    }
    const std::wstring took = Seconds(GetTickCount() - start);
    if (pipe)
        Say(L"opened as Tessaline opens it", L"yes, at attempt " + Decimal(attempts) + L" of at most " +
                                                 Decimal(kOpenAttemptLimit) + L", after " + took);
    else if (lastFailure)
        Say(L"opened as Tessaline opens it", L"no: error " + Decimal(lastFailure->code) + L" at the last of " +
                                                 Decimal(attempts) + L" attempts, after " + took + L": " +
                                                 lastFailure->message);
    if (server) {
        Say(L"served by", DescribeServer(*server));
        if (server->processError == ERROR_SUCCESS) {
            Say(L"server's account", DescribeIdentity(server->process.identity));
            Say(L"same as this tool", DescribeMatch(CompareIdentities(account.self, server->process.identity)));
        }
    }
    // An open pipe was seen by the watch: it asks on every attempt's handle.
    const ServerFacts* served = pipe ? &server.value() : nullptr;
    const unsigned differences = PipeModeDifferences(account, served);
    if (!pipe) {
        std::wstring meaning = lastFailure && lastFailure->known != nullptr ? std::wstring(lastFailure->known->meaning)
                               : lastFailure ? L"not one of the usual causes (" + ErrorText(lastFailure->code) + L")"
                                             : L"not one of the usual causes";
        if (!exists && twinExists && !appContainer)
            meaning += L"; only the _EPM twin is there, which Tessaline opens only inside an AppContainer";
        Say(L"what it means", meaning);
        SayDifferences(differences, account, nullptr);
        return WouldNotReport(lastFailure ? lastFailure->Reason(L"the pipe cannot be opened")
                                          : std::wstring(L"the pipe cannot be opened"),
                              differences);
    }
    SayDifferences(differences, account, served);
    if (send)
        return SendNotice(pipe, waitMs, differences);
    Say(L"notice", L"not sent (--send sends it); the connection closes without a request");
    return Reported(L"Tessaline would reach the downloader; its answer decides, and --send asks for it", differences);
}
