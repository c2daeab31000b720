#include "PipeServer.h"

#include <utility>

#include "ExclusiveLock.h"
#include "OverlappedIo.h"
#include "ServerConnection.h"
#include "WException.h"

namespace IPC {

PipeServer::PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer)
    : options_(std::move(options)),
      path_(options_.grantSid.empty() ? options_.name : AppContainerPipeName(options_.name)),
      handler_(std::move(handler)), observer_(std::move(observer)), stop_(NewEvent())
{
    if (!options_.grantSid.empty()) {
        security_ = make_pipe_security(options_.grantSid);
        if (!security_)
            RAISE_WEXCEPTION(L"Unable to build the security descriptor of the _EPM instance");
    }
    port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port_) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create a completion port", error), error);
    }
    // With FILE_FLAG_FIRST_PIPE_INSTANCE the creation fails with ERROR_ACCESS_DENIED when the name has an
    // instance already (CreateNamedPipeW in Microsoft's documentation). Wine ignores the flag, so a look at
    // the name before the creation refuses it there (ERROR_ALREADY_EXISTS). The instance that Wine makes
    // all the same lives only until the refusal.
    const bool served =
        options_.firstInstance && (WaitNamedPipeW(path_.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT);
    DWORD error = ERROR_SUCCESS;
    first_ = CreateInstance(true, error);
    if (first_ && served) {
        first_.reset();
        error = ERROR_ALREADY_EXISTS;
    }
    if (!first_ && options_.firstInstance && (error == ERROR_ACCESS_DENIED || error == ERROR_ALREADY_EXISTS))
        RAISE_WEXCEPTION_CODE(with_last_error(L"Another server has this pipe name already", error), error);
    if (!first_)
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create a pipe instance", error), error);
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
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security_.get(), options_.inheritable ? TRUE : FALSE};
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

DWORD WINAPI PipeServer::WorkMain(void* server)
{
    static_cast<PipeServer*>(server)->Work();
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
        UniqueHandle worker(CreateThread(nullptr, 0, WorkMain, this, 0, nullptr));
        if (!worker) {
            retry_ = true;
            return;
        }
        workers_.push_back(std::move(worker));
        ExclusiveLock guard(lock_);
        ++alive_;
        ++idle_; // idle from now, not from when it runs: the next look must not hire one more for this request
    }
}

void PipeServer::Work()
{
    try {
        OverlappedIo io;
        for (Connection connection = NextRequest(); connection; connection = NextRequest()) {
            const unsigned long number = connection->number;
            ServerEvent outcome;
            try {
                outcome = Serve(*connection, io);
            } catch (...) {
                // No memory for the reply: this client goes without one.
                outcome = Event(ServerEvent::Kind::ReplyFailed, number, ERROR_NOT_ENOUGH_MEMORY);
            }
            connection.reset(); // the reply stays for the client to read
            Ended();
            Notify(outcome);
        }
        return;
    } catch (...) {
        // No event for this worker's writes: it ends, and the listener hires another for its clients.
        ExclusiveLock guard(lock_);
        --idle_;
        --alive_;
    }
    // The listener's next pass hires for the requests still queued, should any be left.
    PostQueuedCompletionStatus(port_.get(), 0, kWakeKey, nullptr);
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

void PipeServer::Ended()
{
    {
        ExclusiveLock guard(lock_);
        --connected_;
        ++idle_;
    }
    // Below the bound again: the listener makes the next instance.
    PostQueuedCompletionStatus(port_.get(), 0, kWakeKey, nullptr);
}

} // namespace IPC
