// One pipe instance of IPC::PipeServer, from the wait for its client to that client's end. Its connect and
// its request's reads are overlapped operations whose completions reach the server's completion port; a
// worker takes it once the request is whole.
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"
#include "OverlappedIo.h"
#include "Pipe.h"
#include "PipeServer.h"

namespace IPC {

// The completion keys: of the packets that only wake the listener (a stop, or a worker's client that
// ended), and of the connections' own, each known by its OVERLAPPED.
const ULONG_PTR kWakeKey = 0;
const ULONG_PTR kConnectionKey = 1;

inline ServerEvent Event(ServerEvent::Kind kind, unsigned long client, DWORD error = ERROR_SUCCESS)
{
    ServerEvent event;
    event.kind = kind;
    event.client = client;
    event.error = error;
    return event;
}

// What a connected client counts against: the server's bound (maxConnections), or the reserve beyond it
// that takes a process's connections past maxConnectionsPerProcess; none while it listens, or once refused.
enum class ConnectionBudget : int { None, Bound, Reserve };

struct ServerConnection {
    enum class Stage {
        Listening, // its connect waits for a client
        Reading,   // a client is connected; its request is still coming
        Whole,     // the request is whole: a worker serves it
    };

    explicit ServerConnection(UniqueFile instance) noexcept : pipe(std::move(instance)) {}
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // A fresh OVERLAPPED for the next operation, counted as in flight until its completion comes.
    OVERLAPPED* Begin() noexcept
    {
        overlapped = OVERLAPPED();
        inFlight = true;
        return &overlapped;
    }
    // Cancels the operation in flight; its completion still comes, and carries `why` from then on.
    void Cancel(DWORD why) noexcept
    {
        cancelledFor = why;
        CancelIoEx(pipe.get(), &overlapped);
    }

    UniqueFile pipe;
    Stage stage = Stage::Listening;
    OVERLAPPED overlapped = {};
    bool inFlight = false;              // an operation is in flight: the system still uses what follows
    DWORD cancelledFor = ERROR_SUCCESS; // ERROR_TIMEOUT or ERROR_OPERATION_ABORTED once cancelled
    unsigned long number = 0;           // clients are numbered from 1 in the order they connected
    ULONG processId = 0;                // the client's, 0 when unknown
    ConnectionBudget budget = ConnectionBudget::None;
    bool countedForProcess = false;     // among its process's connections whose request is still coming
    Deadline requestDeadline{INFINITE}; // from the connection
    std::string request;
    char chunk[kPipeBufferSize] = {};
};

} // namespace IPC
