#include "PipeServer.h"

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "WException.h"

namespace IPC {

namespace {

const DWORD kBufferSize = 1024;
// A new instance that could not be made is tried again after this.
const DWORD kInstanceRetryMs = 200;

DWORD Remaining(DWORD start, DWORD limit)
{
    const DWORD elapsed = GetTickCount() - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

UniqueHandle NewEvent(BOOL manualReset = TRUE)
{
    UniqueHandle event(CreateEventW(nullptr, manualReset, FALSE, nullptr));
    if (!event) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create an event", error), error);
    }
    return event;
}

ServerEvent Event(ServerEvent::Kind kind, unsigned long client, DWORD error = ERROR_SUCCESS)
{
    ServerEvent event;
    event.kind = kind;
    event.client = client;
    event.error = error;
    return event;
}

} // namespace

// One overlapped operation at a time on a pipe instance, waited for within a time limit.
class PipeServer::PendingIo {
public:
    PendingIo() : event_(NewEvent()) {}
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;

    // A fresh OVERLAPPED for the next operation; the call that takes it resets the event.
    OVERLAPPED* Begin() noexcept
    {
        overlapped_ = OVERLAPPED();
        overlapped_.hEvent = event_.get();
        return &overlapped_;
    }
    HANDLE Event() const noexcept { return event_.get(); }

    // The outcome of the operation that Begin's OVERLAPPED was given to, whose call returned `started`:
    // ERROR_SUCCESS, the operation's error (ERROR_MORE_DATA for part of a message), or ERROR_TIMEOUT or
    // ERROR_OPERATION_ABORTED when the time ran out or the stop came first, which cancel it.
    DWORD Finish(HANDLE pipe, BOOL started, DWORD& bytes, DWORD timeoutMs, HANDLE stop) noexcept
    {
        bytes = 0;
        const DWORD error = started ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
            return error;
        // Done at once, as a read of a request that is there already is: nothing to wait for.
        if (error != ERROR_IO_PENDING)
            return GetOverlappedResult(pipe, &overlapped_, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
        const HANDLE events[] = {event_.get(), stop};
        const DWORD woken = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, timeoutMs);
        if (woken != WAIT_OBJECT_0) {
            Cancel(pipe);
            return woken == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
        }
        return GetOverlappedResult(pipe, &overlapped_, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
    }

    // Cancels the operation and waits until it has ended: until then the system may still write to the
    // OVERLAPPED and the buffer.
    void Cancel(HANDLE pipe) noexcept
    {
        DWORD ignored = 0;
        CancelIoEx(pipe, &overlapped_);
        GetOverlappedResult(pipe, &overlapped_, &ignored, TRUE);
    }

    // The outcome of an operation whose event is set.
    DWORD Result(HANDLE pipe) noexcept
    {
        DWORD ignored = 0;
        return GetOverlappedResult(pipe, &overlapped_, &ignored, FALSE) ? ERROR_SUCCESS : GetLastError();
    }

private:
    UniqueHandle event_;
    OVERLAPPED overlapped_ = {};
};

// An instance that waits for its next client.
struct PipeServer::Listener {
    UniqueFile pipe;
    PendingIo connect;
    bool waiting = false;   // its connect is outstanding
    bool connected = false; // a client is connected, not yet queued for a worker

    // Starts the wait for a client; a client that is there already connects it at once.
    void Listen() noexcept
    {
        const BOOL done = ConnectNamedPipe(pipe.get(), connect.Begin());
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_PENDING)
            waiting = true;
        else if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED)
            connected = true;
        else
            pipe.reset(); // ERROR_NO_DATA: a client came and went before the wait; a new instance serves the next
    }

    void Close() noexcept
    {
        if (waiting)
            connect.Cancel(pipe.get());
        waiting = connected = false;
        pipe.reset();
    }
};

// A connected client, waiting for a worker or being served by one.
struct PipeServer::Client {
    UniqueFile pipe;
    unsigned long number;
};

PipeServer::PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer)
    : options_(std::move(options)), path_(options_.grantSid.empty() ? options_.name : AppContainerPipeName(options_.name)),
      handler_(std::move(handler)), observer_(std::move(observer)), stop_(NewEvent()), room_(NewEvent(FALSE))
{
    if (!options_.grantSid.empty()) {
        security_ = make_pipe_security(options_.grantSid);
        if (!security_)
            RAISE_WEXCEPTION(L"Unable to build the security descriptor of the _EPM instance");
    }
    // FILE_FLAG_FIRST_PIPE_INSTANCE makes the creation fail with ERROR_ACCESS_DENIED when the name has an
    // instance already (CreateNamedPipeW in Microsoft's documentation). Wine ignores the flag: a look at
    // the name first refuses it there too, and on Windows spares the creation a name that is plainly taken.
    DWORD error = ERROR_SUCCESS;
    if (options_.firstInstance && (WaitNamedPipeW(path_.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)) {
        error = ERROR_ALREADY_EXISTS;
    } else {
        first_ = CreateInstance(true, error);
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

void PipeServer::Stop() noexcept { SetEvent(stop_.get()); }

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
    UniqueFile instance(CreateNamedPipeW(path_.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, kBufferSize,
                                         kBufferSize, 0, &attributes));
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

DWORD WINAPI PipeServer::ListenMain(void* server)
{
    static_cast<PipeServer*>(server)->Listen();
    return 0;
}

void PipeServer::Listen()
{
    // Two instances wait for clients, so that one is there for the next client while the other's client
    // is handed on. Connected clients wait in the queue for a worker; workers are made as they are
    // needed, up to maxClients, and serve one client after another.
    Listener listeners[2];
    std::vector<UniqueHandle> workers;
    const std::size_t most = MostClients();
    // Gives the listener a new instance waiting for a client; false when none could be made.
    const auto arm = [this](Listener& listener) {
        // A client that comes and goes before the wait leaves the new instance unusable: one more try.
        for (int tries = 0; !listener.pipe && tries < 2; ++tries) {
            DWORD error = ERROR_SUCCESS;
            listener.pipe = CreateInstance(false, error);
            if (!listener.pipe) {
                Notify(Event(ServerEvent::Kind::InstanceFailed, 0, error));
                return false;
            }
            listener.Listen();
        }
        return static_cast<bool>(listener.pipe);
    };
    try {
        listeners[0].pipe = std::move(first_);
        listeners[0].Listen();
        unsigned long clients = 0;
        for (;;) {
            bool missing = false;
            bool room = true;
            for (Listener& listener : listeners) {
                if (listener.connected && room) {
                    // Its listener gets a new instance before the client is handed on.
                    Client client{std::move(listener.pipe), ++clients};
                    listener.connected = false;
                    missing = !arm(listener) || missing;
                    if (observer_) {
                        ServerEvent connected = Event(ServerEvent::Kind::Connected, client.number);
                        GetNamedPipeClientProcessId(client.pipe.get(), &connected.processId);
                        Notify(connected);
                    }
                    AcquireSRWLockExclusive(&lock_);
                    queue_.push_back(std::move(client));
                    const bool hire = idle_ == 0 && workers.size() < most;
                    room = queue_.size() < most;
                    ReleaseSRWLockExclusive(&lock_);
                    WakeConditionVariable(&queued_);
                    if (hire) {
                        workers.emplace_back(CreateThread(nullptr, 0, WorkMain, this, 0, nullptr));
                        if (!workers.back())
                            workers.pop_back();
                        // With no worker at all nobody would serve the clients: the server stops.
                        if (workers.empty())
                            throw std::bad_alloc();
                    }
                } else if (!listener.connected) {
                    missing = !arm(listener) || missing;
                }
            }
            AcquireSRWLockShared(&lock_);
            room = queue_.size() < most;
            ReleaseSRWLockShared(&lock_);
            // A new instance may have found its client there already.
            if (room && (listeners[0].connected || listeners[1].connected))
                continue;

            // The stop first; then the instances' connects while the queue has room, else its room.
            HANDLE events[3] = {stop_.get(), room_.get()};
            Listener* waiting[2] = {};
            DWORD count = room ? 1 : 2;
            for (Listener& listener : listeners) {
                if (listener.waiting && room) {
                    waiting[count - 1] = &listener;
                    events[count++] = listener.connect.Event();
                }
            }
            const DWORD woken = WaitForMultipleObjects(count, events, FALSE, missing ? kInstanceRetryMs : INFINITE);
            if (woken == WAIT_TIMEOUT)
                continue;
            const DWORD index = woken - WAIT_OBJECT_0;
            if (index == 0 || index >= count)
                break;
            if (!room)
                continue;
            Listener& listener = *waiting[index - 1];
            listener.waiting = false;
            if (listener.connect.Result(listener.pipe.get()) == ERROR_SUCCESS)
                listener.connected = true;
            else
                listener.pipe.reset();
        }
    } catch (...) {
        // No memory for a client's record, or no thread to serve it: the server stops, as it would when
        // asked to.
    }
    Stop();
    for (Listener& listener : listeners)
        listener.Close();
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&queued_);
    // The workers end once their clients have; those still queued go unserved.
    for (const UniqueHandle& worker : workers)
        WaitForSingleObject(worker.get(), INFINITE);
    queue_.clear();
}

DWORD WINAPI PipeServer::WorkMain(void* server)
{
    static_cast<PipeServer*>(server)->Work();
    return 0;
}

void PipeServer::Work()
{
    try {
        PendingIo io;
        const std::unique_ptr<char[]> chunk(new char[kBufferSize]);
        for (;;) {
            AcquireSRWLockExclusive(&lock_);
            ++idle_;
            while (queue_.empty() && !stopping_)
                SleepConditionVariableSRW(&queued_, &lock_, INFINITE, 0);
            --idle_;
            if (stopping_) {
                ReleaseSRWLockExclusive(&lock_);
                return;
            }
            Client client = std::move(queue_.front());
            queue_.pop_front();
            const bool wasFull = queue_.size() + 1 >= MostClients();
            ReleaseSRWLockExclusive(&lock_);
            if (wasFull)
                SetEvent(room_.get());
            try {
                Serve(client, io, chunk.get());
            } catch (...) {
                // No memory for the request or the reply: this client goes without one.
            }
        }
    } catch (...) {
        // No event or buffer for this worker: the others serve the clients.
    }
}

void PipeServer::Serve(Client& client, PendingIo& io, char* chunk)
{
    const HANDLE pipe = client.pipe.get();

    // The request: one whole message, within the time.
    std::string request;
    const DWORD start = GetTickCount();
    DWORD error = ERROR_MORE_DATA;
    while (error == ERROR_MORE_DATA) {
        DWORD bytes = 0;
        error = io.Finish(pipe, ReadFile(pipe, chunk, kBufferSize, nullptr, io.Begin()), bytes,
                          Remaining(start, options_.requestTimeoutMs), stop_.get());
        request.append(chunk, bytes);
        if (request.size() > options_.maxRequestBytes) {
            Notify(Event(ServerEvent::Kind::RequestTooLong, client.number));
            return;
        }
    }
    if (error != ERROR_SUCCESS) {
        Notify(Event(ServerEvent::Kind::NoRequest, client.number, error));
        return;
    }

    InputBuffer message(std::move(request));
    OutputBuffer reply;
    bool answered = false;
    try {
        answered = handler_(message, reply);
    } catch (...) {
        // The handler's failure is the downloader's: this client goes without an answer, the others do not.
        Notify(Event(ServerEvent::Kind::HandlerFailed, client.number));
        return;
    }
    if (!answered) {
        Notify(Event(ServerEvent::Kind::NotAnswered, client.number));
        return;
    }

    ServerEvent outcome = Event(ServerEvent::Kind::Answered, client.number);
    outcome.reply = reply.Content();
    DWORD written = 0;
    error = io.Finish(
        pipe, WriteFile(pipe, outcome.reply.data(), static_cast<DWORD>(outcome.reply.size()), nullptr, io.Begin()),
        written, options_.replyReadMs, stop_.get());
    if (error != ERROR_SUCCESS) {
        outcome.kind = ServerEvent::Kind::ReplyFailed;
        outcome.error = error;
        Notify(outcome);
        return;
    }
    // Closing the instance drops what the client has not read yet, so the instance stays until the client
    // hangs up, which it does once it has the reply; a stop does not cut this short.
    const DWORD replied = GetTickCount();
    do {
        DWORD bytes = 0;
        error = io.Finish(pipe, ReadFile(pipe, chunk, kBufferSize, nullptr, io.Begin()), bytes,
                          Remaining(replied, options_.replyReadMs), nullptr);
    } while (error == ERROR_SUCCESS || error == ERROR_MORE_DATA);
    outcome.error = error == ERROR_TIMEOUT ? ERROR_TIMEOUT : ERROR_SUCCESS;
    Notify(outcome);
}

} // namespace IPC
