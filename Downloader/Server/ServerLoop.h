// The machinery behind IPC::PipeServer, on the system's thread pool: no thread of its own. Each connection's
// I/O completes on a thread-pool I/O object, its deadline is a thread-pool timer, and its request is handled
// by a thread-pool work object. The handlers run on a pool of their own, at most maxClients at once, so that
// reading a request, which runs on the other pool, never waits for a handler. Every object belongs to one
// cleanup group, which Wait() closes once every connection has been freed.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "Handles.h"
#include "PipeSecurity.h"
#include "PipeServer.h"
#include "ServerState.h"
#include "ThreadPoolHandles.h"

namespace IPC {

struct ServerConnection;

inline ServerEvent Event(ServerEvent::Kind kind, unsigned long client, DWORD error = ERROR_SUCCESS) noexcept
{
    ServerEvent event;
    event.kind = kind;
    event.client = client;
    event.error = error;
    return event;
}

class ServerLoop {
public:
    // Raises wexception when the name cannot be served or a thread-pool object cannot be made.
    ServerLoop(ServerOptions options, RequestHandler handler, ServerObserver observer);
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

    void Stop() noexcept;
    bool Wait(DWORD timeoutMs);

private:
    friend struct ServerConnection;

    static VOID CALLBACK OnIo(PTP_CALLBACK_INSTANCE, void* connection, void* overlapped, ULONG result, ULONG_PTR bytes,
                              PTP_IO);
    static VOID CALLBACK OnDeadline(PTP_CALLBACK_INSTANCE, void* connection, PTP_TIMER);
    static VOID CALLBACK OnRequest(PTP_CALLBACK_INSTANCE, void* connection, PTP_WORK);
    static VOID CALLBACK OnPauseOver(PTP_CALLBACK_INSTANCE, void* loop, PTP_TIMER);
    static VOID CALLBACK OnMore(PTP_CALLBACK_INSTANCE, void* loop, PTP_WORK);
    static VOID CALLBACK OnEnded(PTP_CALLBACK_INSTANCE, void* loop, PTP_WORK);

    UniqueFile CreateInstance(bool first, DWORD& error) const;
    std::unique_ptr<ServerConnection> MakeConnection(UniqueFile instance, DWORD& error);
    void Notify(const ServerEvent& event) const noexcept;

    // The instances (ServerInstances.cpp).
    void KeepListening() noexcept;
    // Joins the instance to the live list and starts its connect; answers the connection when its client
    // came before the connect, admitted already, for the caller to go on with once the next one listens.
    ServerConnection* Listen(std::unique_ptr<ServerConnection> connection) noexcept;
    void Pause(DWORD error) noexcept;
    void Connected(ServerConnection& connection, DWORD result) noexcept;
    void Admit(ServerConnection& connection) noexcept;
    void BeginRequest(ServerConnection& connection) noexcept;
    DWORD ReadRequest(ServerConnection& connection) noexcept;
    void RequestRead(ServerConnection& connection, DWORD result, DWORD bytes) noexcept;
    void HeldRead(ServerConnection& connection, DWORD result) noexcept;
    void End(ServerConnection& connection) noexcept;

    // The requests (ServerRequests.cpp).
    void HandOn(ServerConnection& connection) noexcept;
    void Handle(ServerConnection& connection) noexcept;
    ServerEvent Answer(ServerConnection& connection) noexcept;
    void ReplyWritten(ServerConnection& connection, DWORD result) noexcept;

    const ServerOptions options_;
    const std::wstring path_;
    const RequestHandler handler_;
    const ServerObserver observer_;
    PipeSecurity security_;     // the _EPM instances'
    LocalPtr<void> descriptor_; // securityDescriptor's, as the system reads it
    ServerState state_;
    UniqueHandle done_; // set once the stop has come and every connection has been freed
    UniqueThreadpool ioPool_;
    UniqueThreadpool handlerPool_;
    UniqueCleanupGroup group_;
    CallbackEnvironment ioEnvironment_;
    CallbackEnvironment handlerEnvironment_;
    // The loop's own objects, members of the group.
    UniqueThreadpoolTimer pause_;       // after a failure to make an instance: the next try
    UniqueThreadpoolWork more_;         // more instances than one callback makes at a time
    UniqueThreadpoolWork freeing_;      // frees the ended connections, and makes their places listen again
    ServerConnection* early_ = nullptr; // the first instance's client, when it came before the connect
    SRWLOCK waitLock_ = SRWLOCK_INIT;
    bool closed_ = false; // the group's members are gone: only the group is left to close
};

} // namespace IPC
