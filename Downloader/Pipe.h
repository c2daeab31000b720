// One end of a named pipe in message mode, and the message format that crosses it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "Handles.h"
#include "MessageBuffer.h"
#include "WException.h"

namespace IPC {

// A connected endpoint: constructing it opens the pipe (client) or creates it and waits for a client
// (server); every failure is raised from the constructor, so there is no half-open endpoint.
class Pipe {
public:
    // Called with the endpoint's handle as soon as it exists. A server's comes just before the wait for a
    // client, so that it can say it is listening only when a client can reach it; a client's comes
    // before the switch to message mode, so that it can ask who serves the pipe even when the switch fails.
    using OpenNotice = std::function<void(HANDLE)>;

    // Works on its own copy of the name: the caller's string never changes.
    Pipe(std::wstring name, bool client, const OpenNotice& opened = nullptr);
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Sends the whole buffer as one message.
    void Write(const OutputBuffer& buffer);
    // Blocks until one whole message arrives and returns it.
    InputBuffer Read();

    HANDLE NativeHandle() const { return handle_.get(); }

private:
    void OpenClient(std::wstring name, const OpenNotice& opened);
    // Returns the name the instance was created under.
    std::wstring CreateServer(std::wstring path);
    void SetMessageReadMode();
    void WaitForClient(const std::wstring& path, const OpenNotice& opened);

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
    std::wstring name; // what the waiting server created, for the canceller to connect to
};

extern PendingConnectRecord PendingConnect;

// Stops the server that is waiting for a client: it closes its pipe and raises "The pipe terminated.".
// Returns false when no server is waiting.
bool CancelPendingConnect();

} // namespace IPC
