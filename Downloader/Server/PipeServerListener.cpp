// The server's listener: one thread that keeps instances listening, awaits each client's request without a
// thread of its own, and hands each whole request to the workers.
#include "PipeServer.h"

#include <algorithm>
#include <new>
#include <utility>

#include "ExclusiveLock.h"
#include "ServerConnection.h"
#include "WException.h"

namespace IPC {

namespace {

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
    Arm(std::move(first_), connections);
    // The stop is looked at on every pass, and a pass comes with every completion and at every deadline.
    while (!Stopped()) {
        KeepListening(connections);
        Hire();
        DWORD bytes = 0;
        ULONG_PTR key = kWakeKey;
        OVERLAPPED* overlapped = nullptr;
        const BOOL done = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, NextWakeMs(connections));
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (ServerConnection* connection = Owner(overlapped, connections))
            Complete(*connection, error, bytes, connections);
        ExpireRequests(connections);
    }
    Shutdown(connections);
}

void PipeServer::KeepListening(std::vector<Connection>& connections)
{
    moreNow_ = false;
    if (!instanceRetry_.Due())
        return;
    // As many instances listen as requests are served at once, two at least: an open that waits for an
    // instance (WaitNamedPipe) returns for every waiting client when one is free, and all but one of them
    // then fail their attempt ("WaitNamedPipe" in Microsoft's documentation), so a burst of setups must find
    // instances listening ahead of it. Listening ones count against the bound, as they become connections.
    const unsigned most = options_.maxConnections < 1 ? 1 : options_.maxConnections;
    const unsigned wanted = std::max(2u, options_.maxClients);
    // At most `wanted` a pass: one whose client came and went at once is made anew, and clients that keep
    // doing that must not keep the listener from the port and the stop.
    for (unsigned made = 0;; ++made) {
        unsigned connected = 0;
        {
            ExclusiveLock guard(lock_);
            connected = connected_;
        }
        if (listening_ >= wanted || listening_ + connected >= most)
            return;
        if (made == wanted) {
            moreNow_ = true;
            return;
        }
        DWORD error = ERROR_SUCCESS;
        UniqueFile instance = CreateInstance(false, error);
        if (!instance) {
            FailInstance(error);
            return;
        }
        Connection record;
        try {
            record = std::make_unique<ServerConnection>(std::move(instance));
        } catch (const std::bad_alloc&) {
            FailInstance(ERROR_NOT_ENOUGH_MEMORY); // the instance closes unused
            return;
        }
        if (!Arm(std::move(record), connections))
            return;
    }
}

bool PipeServer::Arm(Connection connection, std::vector<Connection>& connections)
{
    ServerConnection& instance = *connection;
    try {
        connections.push_back(std::move(connection));
    } catch (const std::bad_alloc&) {
        FailInstance(ERROR_NOT_ENOUGH_MEMORY); // `connection` still holds it, and closes it
        return false;
    }
    if (!CreateIoCompletionPort(instance.pipe.get(), port_.get(), kConnectionKey, 0)) {
        const DWORD error = GetLastError();
        Forget(instance, connections);
        FailInstance(error);
        return false;
    }
    const BOOL done = ConnectNamedPipe(instance.pipe.get(), instance.Begin());
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (done || error == ERROR_IO_PENDING) {
        ++listening_; // its completion comes to the port
        return true;
    }
    // A connect that fails at once queues no completion. One whose client came before the wait
    // (ERROR_PIPE_CONNECTED) is completed through the port all the same, so that, as for any other, the next
    // instance listens before its client is looked at.
    if (error == ERROR_PIPE_CONNECTED &&
        PostQueuedCompletionStatus(port_.get(), 0, kConnectionKey, &instance.overlapped)) {
        ++listening_;
        return true;
    }
    instance.inFlight = false;
    if (error == ERROR_PIPE_CONNECTED) {
        StartRequest(instance, connections, false); // no packet could be queued: looked at now
        return true;
    }
    Forget(instance, connections);
    if (error == ERROR_NO_DATA)
        return true; // it came and went before the wait
    // The instance's own failure, which may last (ERROR_NO_SYSTEM_RESOURCES): tried again after a pause.
    FailInstance(error);
    return false;
}

void PipeServer::FailInstance(DWORD error)
{
    instanceRetry_.Start();
    Notify(Event(ServerEvent::Kind::InstanceFailed, 0, error));
}

void PipeServer::Complete(ServerConnection& connection, DWORD error, DWORD bytes, std::vector<Connection>& connections)
{
    connection.inFlight = false;
    if (connection.stage == ServerConnection::Stage::Listening) {
        --listening_;
        if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED) {
            // The next instance listens before this client is looked at, so that a burst finds one free.
            StartRequest(connection, connections, true);
            return;
        }
        Forget(connection, connections);
        if (error != ERROR_NO_DATA)
            FailInstance(error);
        return;
    }
    try {
        connection.request.append(connection.chunk, bytes);
    } catch (const std::bad_alloc&) {
        Notify(Event(ServerEvent::Kind::NoRequest, connection.number, ERROR_NOT_ENOUGH_MEMORY));
        Forget(connection, connections);
        return;
    }
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

void PipeServer::StartRequest(ServerConnection& connection, std::vector<Connection>& connections, bool keepListening)
{
    connection.stage = ServerConnection::Stage::Reading;
    connection.number = ++clients_;
    connection.requestDeadline = Deadline(options_.requestTimeoutMs);
    GetNamedPipeClientProcessId(connection.pipe.get(), &connection.processId); // stays 0 when unknown
    DWORD admission = ERROR_SUCCESS;
    try {
        Admit(connection);
    } catch (const std::bad_alloc&) {
        admission = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (keepListening)
        KeepListening(connections);
    ServerEvent connected = Event(ServerEvent::Kind::Connected, connection.number);
    connected.processId = connection.processId;
    Notify(connected);
    if (connection.budget == ConnectionBudget::None) {
        ServerEvent refused =
            Event(admission == ERROR_SUCCESS ? ServerEvent::Kind::Refused : ServerEvent::Kind::NoRequest,
                  connection.number, admission);
        refused.processId = connection.processId;
        Notify(refused);
        Forget(connection, connections);
        return;
    }
    const DWORD error = ReadRequest(connection);
    if (error != ERROR_IO_PENDING) {
        Notify(Event(ServerEvent::Kind::NoRequest, connection.number, error));
        Forget(connection, connections);
    }
}

void PipeServer::Admit(ServerConnection& connection)
{
    // A process's first connections count against the bound; past its share they take the reserve, so that
    // one process's clients cannot fill the bound that other processes need an instance from.
    const unsigned share = options_.maxConnectionsPerProcess < 1 ? 1 : options_.maxConnectionsPerProcess;
    auto held = reading_.find(connection.processId);
    if (held == reading_.end() || held->second < share) {
        if (held == reading_.end())
            held = reading_.emplace(connection.processId, 0).first; // what may run out of memory
        ++held->second;
        connection.countedForProcess = true;
        connection.budget = ConnectionBudget::Bound;
        ExclusiveLock guard(lock_);
        ++connected_;
        return;
    }
    const unsigned reserve = options_.maxConnections < 1 ? 1 : options_.maxConnections;
    ExclusiveLock guard(lock_);
    if (reserved_ < reserve) {
        ++reserved_;
        connection.budget = ConnectionBudget::Reserve;
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
    if (moreNow_)
        return 0;
    DWORD wake = std::min<DWORD>(std::max<DWORD>(options_.replyReadMs, 50), 1000);
    for (const RetryPause* pause : {&instanceRetry_, &workerRetry_}) {
        if (pause->pending && !pause->over.Passed())
            wake = std::min(wake, pause->over.RemainingMs());
    }
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
    LeaveProcessCount(connection);
    Connection whole = Take(connection, connections);
    bool queued = false;
    {
        ExclusiveLock guard(lock_);
        try {
            queue_.push_back(std::move(whole));
            queued = true;
        } catch (const std::bad_alloc&) {
            // `whole` still holds it: the request goes unserved, and its instance closes below.
        }
    }
    if (!queued) {
        Uncount(whole->budget);
        Notify(Event(ServerEvent::Kind::Dropped, whole->number, ERROR_NOT_ENOUGH_MEMORY));
        return;
    }
    WakeConditionVariable(&queued_);
    Hire();
}

void PipeServer::LeaveProcessCount(ServerConnection& connection) noexcept
{
    if (!connection.countedForProcess)
        return;
    connection.countedForProcess = false;
    const auto held = reading_.find(connection.processId);
    if (--held->second == 0)
        reading_.erase(held);
}

void PipeServer::Forget(ServerConnection& connection, std::vector<Connection>& connections)
{
    LeaveProcessCount(connection);
    Uncount(connection.budget);
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
        Uncount(connection->budget);
    }
    connections.clear();

    std::deque<Connection> dropped;
    {
        ExclusiveLock guard(lock_);
        stopping_ = true;
        dropped.swap(queue_);
    }
    WakeAllConditionVariable(&queued_);
    for (const Connection& connection : dropped) {
        Uncount(connection->budget);
        Notify(Event(ServerEvent::Kind::Dropped, connection->number));
    }
    dropped.clear();
    // The workers end once their clients have.
    for (const UniqueHandle& worker : workers_)
        WaitForSingleObject(worker.get(), INFINITE);
}

} // namespace IPC
