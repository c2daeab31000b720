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

// A connected endpoint: constructing it opens the pipe (client) or creates it and waits for a client
// (server); every failure is raised from the constructor, so there is no half-open endpoint.
class Pipe {
public:
    // Called with the endpoint's handle as soon as it exists. A server's comes once it is recorded as
    // waiting and just before its wait for a client, so that it can say it is listening only when a client
    // can reach it (and a cancel from the observer is kept); a client's comes before the switch to message
    // mode, so that it can ask who serves the pipe even when the switch fails.
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
    void WaitForClient(const HandleObserver& observe);

    UniqueFile handle_;
};

// The server that is waiting for a client at the moment, so that another thread can stop the wait.
struct PendingConnectRecord {
    PendingConnectRecord();
    ~PendingConnectRecord();
    PendingConnectRecord(const PendingConnectRecord&) = delete;
    PendingConnectRecord& operator=(const PendingConnectRecord&) = delete;

    CRITICAL_SECTION lock;
    HANDLE pipe = nullptr;
    bool terminated = false;
    DWORD thread = 0;       // the waiting thread, whose wait a cancel releases
    unsigned long wait = 0; // counts the waits, so that a late retry of a cancel never meets a later one
};

extern PendingConnectRecord PendingConnect;

// Stops this process's server that is waiting for a client, and no other: its wait is released (the server
// raises "Client failed to connect"), or, when a client connected at the same moment, the server closes
// the connection and raises "The pipe terminated.". A server recorded as waiting whose wait has not begun
// yet sees the cancel before it begins. Never blocks. Returns false when no server is waiting.
[[nodiscard]] bool CancelPendingConnect();

} // namespace IPC
