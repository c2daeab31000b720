// The server's requests: each whole one handed to a handler on the handlers' pool, and its reply written.
#include "ServerLoop.h"

#include <new>
#include <utility>

#include "ServerConnection.h"

namespace IPC {

void ServerLoop::HandOn(ServerConnection& connection) noexcept
{
    const unsigned long number = connection.number;
    {
        ExclusiveLock guard(state_.Lock());
        if (!state_.Stopping()) {
            state_.Whole(connection);
            SetThreadpoolTimer(connection.deadlineTimer.get(), nullptr, 0, 0);
            // Cannot fail: the work was made with the instance. The handler's callback has it from here.
            SubmitThreadpoolWork(connection.work.get());
            return;
        }
    }
    Notify(Event(ServerEvent::Kind::Dropped, number));
    End(connection);
}

VOID CALLBACK ServerLoop::OnRequest(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK)
{
    ServerConnection& connection = *static_cast<ServerConnection*>(context);
    ServerLoop& loop = connection.loop;
    bool stopped = false;
    {
        // Under the lock that Stop() takes: once it has returned, no handler starts.
        ExclusiveLock guard(loop.state_.Lock());
        stopped = loop.state_.Stopping();
        if (!stopped)
            loop.state_.Handling(connection);
    }
    if (stopped) {
        loop.Notify(Event(ServerEvent::Kind::Dropped, connection.number));
        loop.End(connection);
        return;
    }
    loop.Handle(connection);
}

ServerEvent ServerLoop::Answer(ServerConnection& connection) noexcept
{
    const unsigned long number = connection.number;
    InputBuffer request(std::move(connection.request));
    OutputBuffer reply;
    bool answered = false;
    try {
        answered = handler_(request, reply);
    } catch (...) {
        // The handler's failure is the downloader's: this client goes without an answer, the others do not.
        return Event(ServerEvent::Kind::HandlerFailed, number);
    }
    if (!answered)
        return Event(ServerEvent::Kind::NotAnswered, number);
    try {
        connection.reply = reply.Content();
    } catch (const std::bad_alloc&) {
        return Event(ServerEvent::Kind::ReplyFailed, number, ERROR_NOT_ENOUGH_MEMORY);
    }
    return Event(ServerEvent::Kind::Answered, number);
}

void ServerLoop::Handle(ServerConnection& connection) noexcept
{
    ServerEvent outcome = Answer(connection);
    if (outcome.kind == ServerEvent::Kind::Answered) {
        ExclusiveLock guard(state_.Lock());
        state_.Writing(connection);
        // A reply that fits the pipe's buffer is taken at once; a longer one waits, for this long at most,
        // for the client to read it. The stop leaves it its time.
        connection.deadline = Deadline(options_.replyReadMs);
        if (options_.replyReadMs != INFINITE)
            ArmTimer(connection.deadlineTimer.get(), options_.replyReadMs);
        const BOOL done = WriteFile(connection.pipe.get(), connection.reply.data(),
                                    static_cast<DWORD>(connection.reply.size()), nullptr, connection.Begin());
        outcome.error = done ? ERROR_SUCCESS : GetLastError();
        if (done || outcome.error == ERROR_IO_PENDING)
            return; // the write's completion has the connection from here
        connection.Failed();
        outcome.kind = ServerEvent::Kind::ReplyFailed;
        outcome.reply = std::move(connection.reply);
    }
    Notify(outcome);
    End(connection);
}

void ServerLoop::ReplyWritten(ServerConnection& connection, DWORD result) noexcept
{
    ServerEvent outcome = Event(ServerEvent::Kind::Answered, connection.number, result);
    {
        ExclusiveLock guard(state_.Lock());
        if (result != ERROR_SUCCESS && connection.cancelledFor != ERROR_SUCCESS)
            outcome.error = connection.cancelledFor;
    }
    if (outcome.error != ERROR_SUCCESS)
        outcome.kind = ServerEvent::Kind::ReplyFailed;
    outcome.reply = std::move(connection.reply);
    // Closed, not disconnected: the reply stays in the pipe for the client to read (DisconnectNamedPipe would
    // discard it).
    connection.pipe.reset();
    Notify(outcome);
    End(connection);
}

} // namespace IPC
