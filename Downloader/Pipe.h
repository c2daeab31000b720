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
    // Server role: called once the instance exists, just before the wait for a client begins, so that
    // a server can say it is listening only when a client can reach it.
    using ListeningNotice = std::function<void()>;

    // Works on its own copy of the name: the caller's string never changes.
    Pipe(std::wstring name, bool client, const ListeningNotice& listening = nullptr);
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Sends the whole buffer as one message.
    void Write(const OutputBuffer& buffer);
    // Blocks until one whole message arrives and returns it.
    InputBuffer Read();

    HANDLE NativeHandle() const { return handle_.get(); }

private:
    void OpenClient(std::wstring name);
    // Returns the name the instance was created under.
    std::wstring CreateServer(std::wstring path);
    void SetMessageReadMode();
    void WaitForClient(const std::wstring& path, const ListeningNotice& listening);

    UniqueHandle handle_;
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
