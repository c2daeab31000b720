// One end of a named pipe in message mode, and the message format that crosses it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "Handles.h"
#include "MessageBuffer.h"
#include "WException.h"

namespace IPC {

// Each pipe instance's input and output buffer, in bytes.
const DWORD kPipeBufferSize = 1024;
// How long a client's open waits, once, for a free instance while every instance is busy.
const DWORD kBusyWaitMs = 3000;

class ConnectWait;

// A connected endpoint: constructing it opens the pipe (client) or creates it and waits for a client
// (server); every failure is raised from the constructor, so there is no half-open endpoint.
class Pipe {
public:
    // Called with the endpoint's handle as soon as it exists. A server's comes once it is registered as
    // waiting and just before its wait for a client, so that it can say it is listening only when a client
    // can reach it. It may do anything there, blocking I/O included: a cancel leaves it alone, and is kept
    // for the wait, which then does not begin. A client's comes before the switch to message mode, so that
    // it can ask who serves the pipe even when the switch fails.
    using HandleObserver = std::function<void(HANDLE)>;

    // Works on its own copy of the name: the caller's string never changes.
    Pipe(std::wstring name, bool client, const HandleObserver& observe = nullptr);
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Sends the whole buffer as one message.
    void Write(const OutputBuffer& buffer);
    // Blocks until one whole message arrives and returns it.
    InputBuffer Read();

    HANDLE NativeHandle() const { return handle_.get(); }

private:
    void OpenClient(std::wstring name, const HandleObserver& observe);
    void CreateServer(std::wstring path);
    void SetMessageReadMode();
    void WaitForClient(ConnectWait& wait, const HandleObserver& observe);

    UniqueFile handle_;
};

// A server waiting for its client, as the record holds it from just before its observer runs until its
// wait has ended.
struct PendingServer {
    HANDLE pipe = nullptr;
    // Set by a cancel, read when the wait ends.
    bool terminated = false;
    // The server has looked at `terminated` for the last time: from now on a cancel has a wait to release.
    bool waiting = false;
    // The server's own, made before it registers; a cancel that found it waiting arms it until the server leaves.
    PTP_TIMER retry = nullptr;
    PendingServer* next = nullptr;
};

// Every server of this process that is waiting for a client, so that another thread can stop their waits.
struct PendingConnectRecord {
    PendingConnectRecord();
    ~PendingConnectRecord();
    PendingConnectRecord(const PendingConnectRecord&) = delete;
    PendingConnectRecord& operator=(const PendingConnectRecord&) = delete;

    CRITICAL_SECTION lock;
    PendingServer* servers = nullptr; // under the lock, as every field of each server
    // Under the lock: the servers that may still enter it, from before they register until their retry
    // timer is gone. The lock outlives the record while there is one.
    unsigned users = 0;
};

extern PendingConnectRecord PendingConnect;

// Stops every server of this process that is waiting for a client at the moment of the call, and touches
// nothing else: no other I/O of their threads (their observers' included), no server that starts waiting
// later, no other process. A server whose wait has not begun does not begin it; one in its wait is released
// by cancelling the I/O on its own pipe handle. Either way it raises "Client failed to connect" (995), or,
// when a client connected at the same moment, closes that connection and raises "The pipe terminated.".
// Never blocks: it waits for nothing but the record's lock, which is held only for moments and never across
// a blocking call. Returns false when no server is waiting.
[[nodiscard]] bool CancelPendingConnect();

} // namespace IPC
