#include "PipeServer.h"

#include <new>
#include <utility>

#include <sddl.h>

#include "ExclusiveLock.h"
#include "OverlappedIo.h"
#include "ServerConnection.h"
#include "Text.h"
#include "WException.h"

namespace IPC {

namespace {

// Whether this system ignores FILE_FLAG_FIRST_PIPE_INSTANCE: a second instance of a name that a first one
// made with the flag holds comes to be all the same. Windows refuses it at the creation, atomically
// (ERROR_ACCESS_DENIED, "CreateNamedPipeW" in Microsoft's documentation); Wine 8 makes it. Asked once, of a
// name of this process's own; a probe that cannot be made leaves the system trusted.
bool FirstInstanceFlagIgnored()
{
    static const bool ignored = [] {
        const std::wstring name = L"\\\\.\\pipe\\tessaline-first-instance-probe-" + Decimal(GetCurrentProcessId()) +
                                  L"-" + Decimal(GetTickCount());
        const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE;
        const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_REJECT_REMOTE_CLIENTS;
        const UniqueFile first(CreateNamedPipeW(name.c_str(), openMode, pipeMode, 2, 0, 0, 0, nullptr));
        if (!first)
            return false;
        const UniqueFile second(CreateNamedPipeW(name.c_str(), openMode, pipeMode, 2, 0, 0, 0, nullptr));
        return static_cast<bool>(second);
    }();
    return ignored;
}

} // namespace

std::wstring ElevatedServerSddl()
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"OpenProcessToken failed", error), error);
    }
    DWORD length = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    std::unique_ptr<unsigned char[]> user(new unsigned char[length > 0 ? length : 1]);
    if (!GetTokenInformation(token.get(), TokenUser, user.get(), length, &length)) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"GetTokenInformation failed", error), error);
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.get())->User.Sid, &text)) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"ConvertSidToStringSidW failed", error), error);
    }
    const LocalPtr<wchar_t> owned(text);
    return std::wstring(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;") + text + L")S:(ML;;NW;;;ME)";
}

struct PipeServer::WorkerStart {
    explicit WorkerStart(PipeServer& owner) : server(owner) {}
    PipeServer& server;
    OverlappedIo io; // raises when its event cannot be made
};

PipeServer::PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer)
    : options_(std::move(options)),
      path_(options_.grantSid.empty() ? options_.name : AppContainerPipeName(options_.name)),
      handler_(std::move(handler)), observer_(std::move(observer)), stop_(NewEvent())
{
    if (!options_.grantSid.empty()) {
        if (!options_.securityDescriptor.empty())
            RAISE_WEXCEPTION(L"A grant SID and a security descriptor cannot both be given");
        security_ = make_pipe_security(options_.grantSid);
        if (!security_)
            RAISE_WEXCEPTION(L"Unable to build the security descriptor of the _EPM instance");
    } else if (!options_.securityDescriptor.empty()) {
        PSECURITY_DESCRIPTOR parsed = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(options_.securityDescriptor.c_str(), SDDL_REVISION_1,
                                                                  &parsed, nullptr)) {
            const DWORD error = GetLastError();
            RAISE_WEXCEPTION_CODE(with_last_error(L"Invalid security descriptor", error), error);
        }
        descriptor_.reset(parsed);
    }
    port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port_) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create a completion port", error), error);
    }
    // With FILE_FLAG_FIRST_PIPE_INSTANCE the creation fails with ERROR_ACCESS_DENIED when the name has an
    // instance already. Where the system ignores the flag, a look at the name before the creation refuses
    // it instead (ERROR_ALREADY_EXISTS); the look is not atomic (a name whose last instances close between
    // the look and the creation is refused though free), so it is made only there. The instance that such a
    // system makes all the same lives only until the refusal.
    const bool served = options_.firstInstance && FirstInstanceFlagIgnored() &&
                        (WaitNamedPipeW(path_.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT);
    DWORD error = ERROR_SUCCESS;
    UniqueFile first = CreateInstance(true, error);
    if (first && served) {
        first.reset();
        error = ERROR_ALREADY_EXISTS;
    }
    if (!first && options_.firstInstance && (error == ERROR_ACCESS_DENIED || error == ERROR_ALREADY_EXISTS))
        RAISE_WEXCEPTION_CODE(with_last_error(L"Another server has this pipe name already", error), error);
    if (!first)
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create a pipe instance", error), error);
    first_ = std::make_unique<ServerConnection>(std::move(first));
    Notify(Event(ServerEvent::Kind::Listening, 0));
    listener_.reset(CreateThread(nullptr, 0, ListenMain, this, 0, nullptr));
    if (!listener_) {
        error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to start the server's thread", error), error);
    }
}

PipeServer::~PipeServer()
{
    Stop();
    Wait();
}

void PipeServer::Stop() noexcept
{
    SetEvent(stop_.get());
    // The listener looks at the stop on every pass; this packet makes the pass come now. Should it not be
    // queued, the listener's waits are short enough to keep the bound of Wait() all the same.
    PostQueuedCompletionStatus(port_.get(), 0, kWakeKey, nullptr);
}

bool PipeServer::Stopped() const noexcept { return WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0; }

bool PipeServer::Wait(DWORD timeoutMs) const
{
    return WaitForSingleObject(listener_.get(), timeoutMs) == WAIT_OBJECT_0;
}

UniqueFile PipeServer::CreateInstance(bool first, DWORD& error) const
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security_ ? security_.get() : descriptor_.get(),
                                      options_.inheritable ? TRUE : FALSE};
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                           (first && options_.firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                           (options_.rejectRemoteClients ? PIPE_REJECT_REMOTE_CLIENTS : 0);
    UniqueFile instance(CreateNamedPipeW(path_.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
                                         kPipeBufferSize, 0, &attributes));
    error = instance ? ERROR_SUCCESS : GetLastError();
    return instance;
}

void PipeServer::Notify(const ServerEvent& event) const noexcept
{
    if (!observer_)
        return;
    try {
        observer_(event);
    } catch (...) {
        // Dropped: the observer only watches, and what it fails at must not cost a client its answer.
    }
}

DWORD WINAPI PipeServer::WorkMain(void* start)
{
    const std::unique_ptr<WorkerStart> own(static_cast<WorkerStart*>(start));
    own->server.Work(own->io);
    return 0;
}

void PipeServer::Hire()
{
    // A worker for each whole request that no idle worker will take: a woken worker counts as idle until it
    // has taken one, so the queue's length against the idle count tells how many more are needed.
    for (;;) {
        {
            ExclusiveLock guard(lock_);
            if (queue_.size() <= idle_ || alive_ >= (options_.maxClients < 1 ? 1 : options_.maxClients))
                return;
        }
        if (!workerRetry_.Due())
            return;
        DWORD error = ERROR_SUCCESS;
        try {
            workers_.reserve(workers_.size() + 1); // so that a started worker always has its place
            std::unique_ptr<WorkerStart> start(new WorkerStart(*this));
            {
                // Idle from now, not from when it runs: the next look must not hire one more for this request.
                ExclusiveLock guard(lock_);
                ++alive_;
                ++idle_;
            }
            UniqueHandle worker(CreateThread(nullptr, 0, WorkMain, start.get(), 0, nullptr));
            if (worker) {
                static_cast<void>(start.release()); // the worker's from now on
                workers_.push_back(std::move(worker));
                continue;
            }
            error = GetLastError();
            ExclusiveLock guard(lock_);
            --alive_;
            --idle_;
        } catch (const std::bad_alloc&) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } catch (const wexception<std::runtime_error>& failure) {
            error = failure.error_code(); // its I/O's event
        }
        workerRetry_.Start();
        Notify(Event(ServerEvent::Kind::WorkerFailed, 0, error));
        return;
    }
}

void PipeServer::Work(OverlappedIo& io)
{
    for (Connection connection = NextRequest(); connection; connection = NextRequest()) {
        const unsigned long number = connection->number;
        const ConnectionBudget budget = connection->budget;
        ServerEvent outcome;
        try {
            outcome = Serve(*connection, io);
        } catch (const std::bad_alloc&) {
            // No memory for the reply: this client goes without one.
            outcome = Event(ServerEvent::Kind::ReplyFailed, number, ERROR_NOT_ENOUGH_MEMORY);
        }
        connection.reset(); // the reply stays for the client to read
        Uncount(budget);
        // Below the bound again: the listener makes the next instance.
        PostQueuedCompletionStatus(port_.get(), 0, kWakeKey, nullptr);
        Notify(outcome);
    }
}

PipeServer::Connection PipeServer::NextRequest()
{
    ExclusiveLock guard(lock_);
    // Hired as idle; idle again between requests.
    for (;;) {
        if (stopping_ || Stopped()) {
            --idle_;
            --alive_;
            return nullptr;
        }
        if (!queue_.empty())
            break;
        guard.Sleep(queued_);
    }
    --idle_;
    Connection connection = std::move(queue_.front());
    queue_.pop_front();
    return connection;
}

ServerEvent PipeServer::Serve(ServerConnection& connection, OverlappedIo& io)
{
    InputBuffer request(std::move(connection.request));
    OutputBuffer reply;
    bool answered = false;
    try {
        answered = handler_(request, reply);
    } catch (...) {
        // The handler's failure is the downloader's: this client goes without an answer, the others do not.
        return Event(ServerEvent::Kind::HandlerFailed, connection.number);
    }
    if (!answered)
        return Event(ServerEvent::Kind::NotAnswered, connection.number);

    ServerEvent outcome = Event(ServerEvent::Kind::Answered, connection.number);
    outcome.reply = reply.Content();
    const HANDLE pipe = connection.pipe.get();
    DWORD written = 0;
    outcome.error = io.Finish(
        pipe, WriteFile(pipe, outcome.reply.data(), static_cast<DWORD>(outcome.reply.size()), nullptr, io.Begin()),
        written, options_.replyReadMs);
    if (outcome.error != ERROR_SUCCESS)
        outcome.kind = ServerEvent::Kind::ReplyFailed;
    return outcome;
}

void PipeServer::Uncount(ConnectionBudget budget) noexcept
{
    ExclusiveLock guard(lock_);
    if (budget == ConnectionBudget::Bound)
        --connected_;
    else if (budget == ConnectionBudget::Reserve)
        --reserved_;
}

} // namespace IPC
