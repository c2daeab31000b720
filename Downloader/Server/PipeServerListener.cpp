// The server's listener: one thread that keeps instances listening, awaits each client's request without a
// thread of its own, and hands each whole request to the workers.
#include "PipeServer.h"

#include <algorithm>
#include <utility>

#include "ExclusiveLock.h"
#include "ServerConnection.h"
#include "WException.h"

namespace IPC {

namespace {

// How soon an instance or a worker that could not be made is tried again.
const DWORD kRetryMs = 200;

// The connection whose operation a packet completes; none for a wake, or for a packet that belongs to no
// connection of the listener's (none should: a worker's writes queue none), which is then left alone.
ServerConnection* Owner(const OVERLAPPED* overlapped, const std::vector<std::unique_ptr<ServerConnection>>& connections)
{
    for (const std::unique_ptr<ServerConnection>& connection : connections) {
        if (overlapped != nullptr && &connection->overlapped == overlapped)
            return connection.get();
    }
    return nullptr;
}

} // namespace

DWORD WINAPI PipeServer::ListenMain(void* server)
{
    static_cast<PipeServer*>(server)->Listen();
    return 0;
}

void PipeServer::Listen()
{
    std::vector<Connection> connections;
    try {
        Arm(std::make_unique<ServerConnection>(std::move(first_)), connections);
        // The stop is looked at on every pass, and a pass comes with every completion and at every deadline.
        while (!Stopped()) {
            retry_ = false;
            KeepListening(connections);
            Hire();
            DWORD bytes = 0;
            ULONG_PTR key = kWakeKey;
            OVERLAPPED* overlapped = nullptr;
            const BOOL done =
                GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, NextWakeMs(connections));
            const DWORD error = done ? ERROR_SUCCESS : GetLastError();
            if (ServerConnection* connection = Owner(overlapped, connections))
                Complete(*connection, error, bytes, connections);
            ExpireRequests(connections);
        }
    } catch (...) {
        // No memory for a connection's record or its place in the queue: the server stops, as it would
        // when asked to.
    }
    Shutdown(connections);
}

void PipeServer::KeepListening(std::vector<Connection>& connections)
{
    // As many instances listen as requests are served at once, two at least: an open that waits for an
    // instance (WaitNamedPipe) returns for every waiting client when one is free, and all but one of them
    // then fail their attempt ("WaitNamedPipe" in Microsoft's documentation), so a burst of setups must find
    // instances listening ahead of it. Listening ones count against the bound, as they become connections.
    const unsigned most = options_.maxConnections < 1 ? 1 : options_.maxConnections;
    const unsigned wanted = std::max(2u, options_.maxClients);
    for (;;) {
        unsigned connected = 0;
        {
            ExclusiveLock guard(lock_);
            connected = connected_;
        }
        if (listening_ >= wanted || listening_ + connected >= most)
            return;
        DWORD error = ERROR_SUCCESS;
        UniqueFile instance = CreateInstance(false, error);
        if (!instance) {
            Notify(Event(ServerEvent::Kind::InstanceFailed, 0, error));
            retry_ = true;
            return;
        }
        if (!Arm(std::make_unique<ServerConnection>(std::move(instance)), connections))
            return;
    }
}

bool PipeServer::Arm(Connection connection, std::vector<Connection>& connections)
{
    ServerConnection& instance = *connection;
    if (!CreateIoCompletionPort(instance.pipe.get(), port_.get(), kConnectionKey, 0)) {
        Notify(Event(ServerEvent::Kind::InstanceFailed, 0, GetLastError()));
        retry_ = true;
        return false;
    }
    connections.push_back(std::move(connection));
    const BOOL done = ConnectNamedPipe(instance.pipe.get(), instance.Begin());
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (done || error == ERROR_IO_PENDING) {
        ++listening_; // its completion comes to the port
        return true;
    }
    // A connect that fails at once queues no completion.
    instance.inFlight = false;
    if (error == ERROR_PIPE_CONNECTED)
        StartRequest(instance, connections); // the client came before the wait
    else
        Forget(instance, connections); // ERROR_NO_DATA: it came and went before the wait
    return true;
}

void PipeServer::Complete(ServerConnection& connection, DWORD error, DWORD bytes, std::vector<Connection>& connections)
{
    connection.inFlight = false;
    if (connection.stage == ServerConnection::Stage::Listening) {
        --listening_;
        if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED) {
            Forget(connection, connections);
            return;
        }
        // The next instance listens before this client is looked at, so that a burst finds one free.
        StartRequest(connection, connections, [&] { KeepListening(connections); });
        return;
    }
    connection.request.append(connection.chunk, bytes);
    if (connection.request.size() > options_.maxRequestBytes) {
        Notify(Event(ServerEvent::Kind::RequestTooLong, connection.number));
        Forget(connection, connections);
        return;
    }
    // Whole even when its deadline came a moment after: the cancel was too late to take it.
    if (error == ERROR_SUCCESS) {
        HandOn(connection, connections);
        return;
    }
    if (error == ERROR_MORE_DATA && connection.cancelledFor == ERROR_SUCCESS) {
        error = ReadRequest(connection);
        if (error == ERROR_IO_PENDING)
            return;
    }
    Notify(Event(ServerEvent::Kind::NoRequest, connection.number,
                 connection.cancelledFor != ERROR_SUCCESS ? connection.cancelledFor : error));
    Forget(connection, connections);
}

void PipeServer::StartRequest(ServerConnection& connection, std::vector<Connection>& connections,
                              const std::function<void()>& counted)
{
    connection.stage = ServerConnection::Stage::Reading;
    connection.number = ++clients_;
    connection.requestDeadline = Deadline(options_.requestTimeoutMs);
    {
        ExclusiveLock guard(lock_);
        ++connected_;
    }
    if (counted)
        counted();
    if (observer_) {
        ServerEvent connected = Event(ServerEvent::Kind::Connected, connection.number);
        GetNamedPipeClientProcessId(connection.pipe.get(), &connected.processId);
        Notify(connected);
    }
    const DWORD error = ReadRequest(connection);
    if (error != ERROR_IO_PENDING) {
        Notify(Event(ServerEvent::Kind::NoRequest, connection.number, error));
        Forget(connection, connections);
    }
}

DWORD PipeServer::ReadRequest(ServerConnection& connection)
{
    const BOOL done =
        ReadFile(connection.pipe.get(), connection.chunk, sizeof connection.chunk, nullptr, connection.Begin());
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    // A read that is over at once, whole or in part (ERROR_MORE_DATA is a warning, not a failure), queues
    // its completion to the port as a pending one does; only a read that fails at once queues none.
    if (done || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA)
        return ERROR_IO_PENDING;
    connection.inFlight = false;
    return error;
}

void PipeServer::ExpireRequests(std::vector<Connection>& connections)
{
    for (const Connection& connection : connections) {
        if (connection->stage == ServerConnection::Stage::Reading && connection->inFlight &&
            connection->cancelledFor == ERROR_SUCCESS && connection->requestDeadline.Passed())
            connection->Cancel(ERROR_TIMEOUT);
    }
}

DWORD PipeServer::NextWakeMs(const std::vector<Connection>& connections) const
{
    // Never longer than the time a reply gets, so that a stop whose packet was not queued still ends the
    // server within the bound that Wait() promises.
    DWORD wake = std::min<DWORD>(std::max<DWORD>(options_.replyReadMs, 50), 1000);
    if (retry_)
        wake = std::min(wake, kRetryMs);
    for (const Connection& connection : connections) {
        if (connection->stage == ServerConnection::Stage::Reading && connection->inFlight &&
            connection->cancelledFor == ERROR_SUCCESS)
            wake = std::min(wake, connection->requestDeadline.RemainingMs());
    }
    return wake;
}

PipeServer::Connection PipeServer::Take(ServerConnection& connection, std::vector<Connection>& connections)
{
    const auto at = std::find_if(connections.begin(), connections.end(),
                                 [&connection](const Connection& held) { return held.get() == &connection; });
    Connection taken = std::move(*at);
    connections.erase(at);
    return taken;
}

void PipeServer::HandOn(ServerConnection& connection, std::vector<Connection>& connections)
{
    connection.stage = ServerConnection::Stage::Whole;
    Connection whole = Take(connection, connections);
    {
        ExclusiveLock guard(lock_);
        try {
            queue_.push_back(std::move(whole));
        } catch (...) {
            --connected_; // the request goes unserved; its instance closes with `whole`
            throw;
        }
    }
    WakeConditionVariable(&queued_);
    Hire();
}

void PipeServer::Forget(ServerConnection& connection, std::vector<Connection>& connections)
{
    if (connection.stage != ServerConnection::Stage::Listening) {
        ExclusiveLock guard(lock_);
        --connected_;
    }
    Take(connection, connections).reset();
}

void PipeServer::Shutdown(std::vector<Connection>& connections)
{
    for (const Connection& connection : connections) {
        if (connection->inFlight)
            connection->Cancel(ERROR_OPERATION_ABORTED);
    }
    // Each cancelled operation still queues its completion, and until then the system may write to its
    // record: the records go only once every one has come.
    const auto inFlight = [&connections] {
        return std::any_of(connections.begin(), connections.end(),
                           [](const Connection& connection) { return connection->inFlight; });
    };
    while (inFlight()) {
        DWORD bytes = 0;
        ULONG_PTR key = kWakeKey;
        OVERLAPPED* overlapped = nullptr;
        GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, INFINITE);
        if (ServerConnection* connection = Owner(overlapped, connections))
            connection->inFlight = false;
    }
    for (const Connection& connection : connections) {
        if (connection->stage == ServerConnection::Stage::Reading)
            Notify(Event(ServerEvent::Kind::NoRequest, connection->number, ERROR_OPERATION_ABORTED));
    }
    connections.clear();

    std::deque<Connection> dropped;
    {
        ExclusiveLock guard(lock_);
        stopping_ = true;
        dropped.swap(queue_);
        connected_ -= static_cast<unsigned>(dropped.size());
    }
    WakeAllConditionVariable(&queued_);
    for (const Connection& connection : dropped)
        Notify(Event(ServerEvent::Kind::Dropped, connection->number));
    dropped.clear();
    // The workers end once their clients have.
    for (const UniqueHandle& worker : workers_)
        WaitForSingleObject(worker.get(), INFINITE);
}

} // namespace IPC
