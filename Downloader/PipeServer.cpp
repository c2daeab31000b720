#include "PipeServer.h"

#include <list>
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
// The listener waits for the stop, two instances and every client's thread at once.
const unsigned kMostClients = MAXIMUM_WAIT_OBJECTS - 3;

DWORD Remaining(DWORD start, DWORD limit)
{
    const DWORD elapsed = GetTickCount() - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

UniqueHandle NewEvent()
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create an event", error), error);
    }
    return event;
}

// One overlapped operation at a time on a pipe instance, waited for within a time limit.
class PendingIo {
public:
    PendingIo() : event_(NewEvent()) {}
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;

    // A fresh OVERLAPPED for the next operation.
    OVERLAPPED* Begin() noexcept
    {
        ResetEvent(event_.get());
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
        if (!started) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
                return error;
        }
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

ServerEvent Event(ServerEvent::Kind kind, unsigned long client, DWORD error = ERROR_SUCCESS)
{
    ServerEvent event;
    event.kind = kind;
    event.client = client;
    event.error = error;
    return event;
}

} // namespace

// An instance that waits for its next client.
struct PipeServer::Listener {
    UniqueFile pipe;
    PendingIo connect;
    bool waiting = false;   // its connect is outstanding
    bool connected = false; // a client is connected, not yet handed to a thread of its own

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

// One connected client, served on a thread of its own.
struct PipeServer::Session {
    PipeServer& server;
    UniqueFile pipe;
    unsigned long client;
    UniqueHandle thread;

    Session(PipeServer& owner, UniqueFile connected, unsigned long number)
        : server(owner), pipe(std::move(connected)), client(number)
    {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // The thread uses the session until it ends.
    ~Session()
    {
        if (thread)
            WaitForSingleObject(thread.get(), INFINITE);
    }
};

PipeServer::PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer)
    : options_(std::move(options)), path_(options_.name + (options_.grantSid.empty() ? L"" : L"_EPM")),
      handler_(std::move(handler)), observer_(std::move(observer)), stop_(NewEvent())
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
    // is handed on.
    Listener listeners[2];
    std::list<std::unique_ptr<Session>> sessions;
    const std::size_t most = options_.maxClients < 1              ? 1
                             : options_.maxClients > kMostClients ? kMostClients
                                                                  : options_.maxClients;
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
            for (Listener& listener : listeners) {
                // A connected client gets a thread of its own while there is room, and its listener a new
                // instance before that thread starts.
                if (listener.connected && sessions.size() < most) {
                    listener.connected = false;
                    auto session = std::make_unique<Session>(*this, std::move(listener.pipe), ++clients);
                    missing = !arm(listener) || missing;
                    ServerEvent connected = Event(ServerEvent::Kind::Connected, session->client);
                    GetNamedPipeClientProcessId(session->pipe.get(), &connected.processId);
                    Notify(connected);
                    session->thread.reset(CreateThread(nullptr, 0, SessionMain, session.get(), 0, nullptr));
                    if (session->thread)
                        sessions.push_back(std::move(session));
                } else if (!listener.connected) {
                    missing = !arm(listener) || missing;
                }
            }

            // A new instance may have found its client there already.
            const bool room = sessions.size() < most;
            if (room && (listeners[0].connected || listeners[1].connected))
                continue;

            // The stop first, then the instances' connects (while there is room for their clients), then
            // the clients' threads, which end on their own.
            std::vector<HANDLE> events{stop_.get()};
            std::vector<Listener*> waiting;
            for (Listener& listener : listeners) {
                if (listener.waiting && room) {
                    events.push_back(listener.connect.Event());
                    waiting.push_back(&listener);
                }
            }
            for (const auto& session : sessions)
                events.push_back(session->thread.get());
            const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE,
                                                       missing ? kInstanceRetryMs : INFINITE);
            if (woken == WAIT_TIMEOUT)
                continue;
            const std::size_t index = woken - WAIT_OBJECT_0;
            if (index == 0 || index >= events.size())
                break;
            if (index <= waiting.size()) {
                Listener& listener = *waiting[index - 1];
                listener.waiting = false;
                if (listener.connect.Result(listener.pipe.get()) == ERROR_SUCCESS)
                    listener.connected = true;
                else
                    listener.pipe.reset();
                continue;
            }
            auto ended = sessions.begin();
            std::advance(ended, index - 1 - waiting.size());
            sessions.erase(ended);
        }
    } catch (...) {
        // No memory for a client's thread or record: the server stops, as it would when asked to.
    }
    Stop();
    for (Listener& listener : listeners)
        listener.Close();
    // Each session's destructor waits for its thread, which has seen the stop.
    sessions.clear();
}

DWORD WINAPI PipeServer::SessionMain(void* context)
{
    Session& session = *static_cast<Session*>(context);
    try {
        session.server.Serve(session);
    } catch (...) {
        // No memory for the request or the reply: this client goes without one.
    }
    session.pipe.reset();
    return 0;
}

void PipeServer::Serve(Session& session)
{
    const HANDLE pipe = session.pipe.get();
    PendingIo io;

    // The request: one whole message, within the time.
    std::string request;
    std::unique_ptr<char[]> chunk(new char[kBufferSize]);
    const DWORD start = GetTickCount();
    DWORD error = ERROR_MORE_DATA;
    while (error == ERROR_MORE_DATA) {
        DWORD bytes = 0;
        error = io.Finish(pipe, ReadFile(pipe, chunk.get(), kBufferSize, nullptr, io.Begin()), bytes,
                          Remaining(start, options_.requestTimeoutMs), stop_.get());
        request.append(chunk.get(), bytes);
        if (request.size() > options_.maxRequestBytes) {
            Notify(Event(ServerEvent::Kind::RequestTooLong, session.client));
            return;
        }
    }
    if (error != ERROR_SUCCESS) {
        Notify(Event(ServerEvent::Kind::NoRequest, session.client, error));
        return;
    }

    InputBuffer message(std::move(request));
    OutputBuffer reply;
    bool answered = false;
    try {
        answered = handler_(message, reply);
    } catch (...) {
        // The handler's failure is the downloader's: this client goes without an answer, the others do not.
        Notify(Event(ServerEvent::Kind::HandlerFailed, session.client));
        return;
    }
    if (!answered) {
        Notify(Event(ServerEvent::Kind::NotAnswered, session.client));
        return;
    }

    ServerEvent outcome = Event(ServerEvent::Kind::Answered, session.client);
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
        error = io.Finish(pipe, ReadFile(pipe, chunk.get(), kBufferSize, nullptr, io.Begin()), bytes,
                          Remaining(replied, options_.replyReadMs), nullptr);
    } while (error == ERROR_SUCCESS || error == ERROR_MORE_DATA);
    outcome.error = error == ERROR_TIMEOUT ? ERROR_TIMEOUT : ERROR_SUCCESS;
    Notify(outcome);
}

} // namespace IPC
