// The server's instances: kept listening, their clients admitted, their requests read; and the end of
// every connection.
#include "ServerLoop.h"

#include <utility>

#include "ServerConnection.h"

namespace IPC {

namespace {

// After a failure to make or arm an instance, the next try: one a pause, however long the failure lasts.
const DWORD kPauseMs = 200;

} // namespace

void ServerLoop::KeepListening() noexcept
{
    ServerConnection* early = nullptr;
    // At most one round of instances a call: one whose client came and went at once is made anew, and clients
    // that keep doing that must not hold this thread; the rest are made on another call, queued behind them.
    for (int made = 0;; ++made) {
        {
            ExclusiveLock guard(state_.Lock());
            // The loop's own objects are armed under the lock, and only before the stop: once the server is
            // done, Wait() releases them.
            if (made == state_.Limits().listening) {
                if (!state_.Stopping())
                    SubmitThreadpoolWork(more_.get());
                break;
            }
            if (!state_.ReserveInstance())
                break;
        }
        DWORD error = ERROR_SUCCESS;
        UniqueFile instance = CreateInstance(false, error);
        std::unique_ptr<ServerConnection> connection;
        if (instance)
            connection = MakeConnection(std::move(instance), error);
        if (!connection) {
            bool done = false;
            {
                ExclusiveLock failed(state_.Lock());
                done = state_.InstanceNotMade();
            }
            if (done) {
                SetEvent(done_.get()); // the stop came while it was being made: nothing is left to try
                return;
            }
            Pause(error);
            break;
        }
        if (ServerConnection* const now = Listen(std::move(connection))) {
            now->nextEarly = early;
            early = now;
        }
    }
    // Their replacements listen: now they are looked at.
    while (early != nullptr) {
        ServerConnection* const next = early->nextEarly;
        BeginRequest(*early);
        early = next;
    }
}

ServerConnection* ServerLoop::Listen(std::unique_ptr<ServerConnection> made) noexcept
{
    ServerConnection& connection = *made.release(); // the state's lists hold it from here until it is freed
    DWORD error = ERROR_SUCCESS;
    {
        ExclusiveLock guard(state_.Lock());
        if (state_.InstanceMade(connection)) {
            const BOOL done = ConnectNamedPipe(connection.pipe.get(), connection.Begin());
            error = done ? ERROR_SUCCESS : GetLastError();
            if (done || error == ERROR_IO_PENDING)
                return nullptr; // its completion comes
            // A connect that fails at once queues no completion.
            connection.Failed();
            if (error == ERROR_PIPE_CONNECTED) {
                Admit(connection);
                return &connection;
            }
            state_.End(connection);
        } else {
            error = ERROR_NO_DATA; // the stop came: it never listened, and is ended already
        }
        SubmitThreadpoolWork(freeing_.get()); // under the lock, as End() says why
    }
    // ERROR_NO_DATA: its client came and went before the connect. Anything else is the instance's own, and may
    // last (ERROR_NO_SYSTEM_RESOURCES): the next is tried after a pause.
    if (error != ERROR_NO_DATA)
        Pause(error);
    return nullptr;
}

void ServerLoop::Pause(DWORD error) noexcept
{
    {
        ExclusiveLock guard(state_.Lock());
        if (!state_.Stopping() && state_.StartPause())
            ArmTimer(pause_.get(), kPauseMs);
    }
    Notify(Event(ServerEvent::Kind::InstanceFailed, 0, error));
}

void ServerLoop::Admit(ServerConnection& connection) noexcept
{
    ULONG processId = 0;
    GetNamedPipeClientProcessId(connection.pipe.get(), &processId); // stays 0 when unknown
    connection.admission = state_.Connect(connection, processId);
}

void ServerLoop::Connected(ServerConnection& connection, DWORD result) noexcept
{
    if (result == ERROR_SUCCESS || result == ERROR_PIPE_CONNECTED) {
        {
            ExclusiveLock guard(state_.Lock());
            Admit(connection);
        }
        KeepListening(); // the next instance listens before this client is looked at, so that a burst finds one
        BeginRequest(connection);
        return;
    }
    bool failed = false;
    {
        ExclusiveLock guard(state_.Lock());
        // Neither a client that came and went, nor the stop's cancel, is the instance's failure.
        failed = result != ERROR_NO_DATA && connection.cancelledFor == ERROR_SUCCESS;
    }
    End(connection);
    if (failed)
        Pause(result);
}

void ServerLoop::BeginRequest(ServerConnection& connection) noexcept
{
    const unsigned long number = connection.number;
    ServerEvent connected = Event(ServerEvent::Kind::Connected, number);
    connected.processId = connection.processId;
    Notify(connected);
    if (connection.admission == Admission::NoMemory) {
        Notify(Event(ServerEvent::Kind::NoRequest, number, ERROR_NOT_ENOUGH_MEMORY));
        End(connection);
        return;
    }
    const bool held = connection.admission == Admission::Held;
    if (held) {
        ServerEvent refused = Event(ServerEvent::Kind::Refused, number);
        refused.processId = connection.processId;
        Notify(refused);
    }
    DWORD error = ERROR_SUCCESS;
    {
        ExclusiveLock guard(state_.Lock());
        // From the connection, not from when the instance began to listen: that may have been hours ago.
        connection.deadline = Deadline(options_.requestTimeoutMs);
        if (options_.requestTimeoutMs != INFINITE)
            ArmTimer(connection.deadlineTimer.get(), options_.requestTimeoutMs);
        error = ReadRequest(connection);
        if (error == ERROR_IO_PENDING)
            return;
    }
    if (!held)
        Notify(Event(ServerEvent::Kind::NoRequest, number, error));
    End(connection);
}

DWORD ServerLoop::ReadRequest(ServerConnection& connection) noexcept
{
    if (state_.Stopping())
        connection.Cancel(ERROR_OPERATION_ABORTED);
    if (connection.cancelledFor != ERROR_SUCCESS)
        return connection.cancelledFor;
    const BOOL done =
        ReadFile(connection.pipe.get(), connection.chunk, sizeof connection.chunk, nullptr, connection.Begin());
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    // A read that is over at once, whole or in part (ERROR_MORE_DATA is a warning, not a failure), queues its
    // completion as a pending one does; only a read that fails at once queues none.
    if (done || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA)
        return ERROR_IO_PENDING;
    connection.Failed();
    return error;
}

void ServerLoop::RequestRead(ServerConnection& connection, DWORD result, DWORD bytes) noexcept
{
    const unsigned long number = connection.number;
    if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
        try {
            connection.request.append(connection.chunk, bytes);
        } catch (const std::bad_alloc&) {
            Notify(Event(ServerEvent::Kind::NoRequest, number, ERROR_NOT_ENOUGH_MEMORY));
            End(connection);
            return;
        }
        if (connection.request.size() > options_.maxRequestBytes) {
            Notify(Event(ServerEvent::Kind::RequestTooLong, number));
            End(connection);
            return;
        }
    }
    // Whole even when its deadline came a moment after: the cancel was too late to take it.
    if (result == ERROR_SUCCESS) {
        HandOn(connection);
        return;
    }
    DWORD error = result;
    {
        ExclusiveLock guard(state_.Lock());
        if (result == ERROR_MORE_DATA) {
            error = ReadRequest(connection);
            if (error == ERROR_IO_PENDING)
                return;
        }
        if (connection.cancelledFor != ERROR_SUCCESS)
            error = connection.cancelledFor;
    }
    Notify(Event(ServerEvent::Kind::NoRequest, number, error));
    End(connection);
}

void ServerLoop::HeldRead(ServerConnection& connection, DWORD result) noexcept
{
    // What it sends is dropped unread, until it leaves, its time is up or the stop comes.
    if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
        ExclusiveLock guard(state_.Lock());
        if (ReadRequest(connection) == ERROR_IO_PENDING)
            return;
    }
    End(connection);
}

void ServerLoop::End(ServerConnection& connection) noexcept
{
    ExclusiveLock guard(state_.Lock());
    state_.End(connection);
    // Freed on another callback, since freeing waits for this one. Submitted under the lock: the freeing that
    // finds the server done takes the lock after this, so this work is in the group before Wait() closes it.
    SubmitThreadpoolWork(freeing_.get());
}

VOID CALLBACK ServerLoop::OnIo(PTP_CALLBACK_INSTANCE, void* context, void*, ULONG result, ULONG_PTR bytes, PTP_IO)
{
    ServerConnection& connection = *static_cast<ServerConnection*>(context);
    ServerLoop& loop = connection.loop;
    Stage stage = Stage::Ended;
    {
        ExclusiveLock guard(loop.state_.Lock());
        connection.inFlight = false;
        stage = connection.stage;
    }
    switch (stage) {
    case Stage::Listening:
        loop.Connected(connection, result);
        return;
    case Stage::Reading:
        loop.RequestRead(connection, result, static_cast<DWORD>(bytes));
        return;
    case Stage::Held:
        loop.HeldRead(connection, result);
        return;
    case Stage::Writing:
        loop.ReplyWritten(connection, result);
        return;
    case Stage::Queued:
    case Stage::Handling:
    case Stage::Ended:
        return; // no operation of these stages completes here
    }
}

VOID CALLBACK ServerLoop::OnDeadline(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER timer)
{
    ServerConnection& connection = *static_cast<ServerConnection*>(context);
    ExclusiveLock guard(connection.loop.state_.Lock());
    const Stage stage = connection.stage;
    if (stage != Stage::Reading && stage != Stage::Held && stage != Stage::Writing)
        return;
    // The tick count and the timer may disagree by a tick; and a firing meant for the request's deadline may
    // come once the reply's is set: each is armed again for what is left.
    const DWORD remaining = connection.deadline.RemainingMs();
    if (remaining == INFINITE)
        return;
    if (remaining > 0) {
        ArmTimer(timer, remaining);
        return;
    }
    connection.Cancel(ERROR_TIMEOUT);
}

} // namespace IPC
