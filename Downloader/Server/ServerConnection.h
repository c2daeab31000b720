// One pipe instance of IPC::PipeServer, from the wait for its client to that client's end, with the
// thread-pool objects that carry it: its I/O (the connect, the request's reads, the reply's write, one at a
// time), its deadline, and the work that runs the handler for it.
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"
#include "OverlappedIo.h"
#include "Pipe.h"
#include "ServerState.h"
#include "ThreadPoolHandles.h"

namespace IPC {

class ServerLoop;

struct ServerConnection : ConnectionEntry {
    // Raises wexception (with the failed call's code) when a thread-pool object cannot be made.
    ServerConnection(ServerLoop& owner, UniqueFile instance, PTP_CALLBACK_ENVIRON ioEnvironment,
                     PTP_CALLBACK_ENVIRON handlerEnvironment);
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // A fresh OVERLAPPED for the next operation, whose completion comes to `io`'s callback. Under the lock.
    OVERLAPPED* Begin() noexcept
    {
        overlapped = OVERLAPPED();
        inFlight = true;
        StartThreadpoolIo(io.get());
        return &overlapped;
    }
    // The operation that Begin() was for failed at once: no completion comes. Under the lock.
    void Failed() noexcept
    {
        CancelThreadpoolIo(io.get());
        inFlight = false;
    }
    // Cancels the operation in flight, if any; its completion still comes, and carries `why` from then on.
    // Under the lock.
    void Cancel(DWORD why) noexcept
    {
        if (cancelledFor != ERROR_SUCCESS)
            return;
        cancelledFor = why;
        if (inFlight)
            CancelIoEx(pipe.get(), &overlapped);
    }

    ServerLoop& loop;
    // Released in the reverse order: the work, the deadline and the I/O wait for their callbacks before the
    // instance closes.
    UniqueFile pipe;
    UniqueThreadpoolIo io;
    UniqueThreadpoolTimer deadlineTimer;
    UniqueThreadpoolWork work;
    // Under the lock, as the entry's fields: the deadline's callback and the stop read them too.
    OVERLAPPED overlapped = {};
    bool inFlight = false;              // an operation is in flight: the system still uses what follows
    DWORD cancelledFor = ERROR_SUCCESS; // ERROR_TIMEOUT or ERROR_OPERATION_ABORTED once cancelled
    Deadline deadline{INFINITE};        // the request's, from the connection; then the reply's
    Admission admission = Admission::Read;
    ServerConnection* nextEarly = nullptr; // among the connections whose client came before their connect
    // Only the callback that carries the connection at its stage touches these.
    std::string request;
    std::string reply;
    char chunk[kPipeBufferSize] = {};
};

} // namespace IPC
