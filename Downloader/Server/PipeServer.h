// The server end of a named pipe, as a downloader runs it: requests answered by a handler, many clients at
// once, an instance listening at all times below a bound on connections, and a stop that ends it all
// within a bound.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "MessageBuffer.h"
#include "PipeSecurity.h" // AppContainerPipeName: the name a server with grantSid serves

namespace IPC {

class ServerLoop;

// How the server makes its pipe instances and how long it gives a client. The defaults are the choices
// a downloader should make.
struct ServerOptions {
    std::wstring name; // the full pipe name, "\\.\pipe\..."
    // A SID string (an AppContainer's or a capability's): serve name + "_EPM" instead, for clients inside an
    // AppContainer, open to this process's logon session and to that SID only, and labelled low integrity.
    std::wstring grantSid;
    // The security of the plain name's instances, as SDDL; empty: this process's default security. An
    // elevated downloader gives ElevatedServerSddl(), so that the unelevated setups of its user can open them.
    // Not with grantSid, which has a descriptor of its own.
    std::wstring securityDescriptor;
    // The first instance refuses a name that another server holds already, so that a second copy of the
    // downloader, or another program that took the name first, makes serving fail instead of sharing the
    // name's clients with it.
    bool firstInstance = true;
    bool rejectRemoteClients = true;
    // Inheritable instances outlive the server in every child started with handle inheritance: a client
    // then waits for an answer that never comes, for as long as that child runs.
    bool inheritable = false;
    // Requests handled at once, on the threads of a thread pool of their own, and instances listening ahead
    // of a burst (two at least). A client holds no thread until its request is whole: clients that connect
    // and send nothing cost an instance each, never a handler's thread.
    unsigned maxClients = 64;
    // Clients connected at once, whether their request has come or not, listening instances included.
    // Below it instances always listen; at it the name has none free, and a new client's open waits for
    // one (ERROR_PIPE_BUSY) until a connection ends, which takes at most requestTimeoutMs for a client that
    // sends nothing.
    unsigned maxConnections = 256;
    // Of one client process's connections whose request is still coming, this many at most count against
    // maxConnections. Its further ones count against a reserve of that process's own, of maxConnections
    // more, and are read and served all the same. One beyond both is held (Refused): nothing it sends is
    // read or answered, and it is closed requestTimeoutMs after it connected, or when its client leaves. So
    // the clients of one process never fill the bound that other processes' setups need an instance from,
    // and each of them comes back at most once a requestTimeoutMs when the server is what ends it.
    unsigned maxConnectionsPerProcess = 16;
    DWORD requestTimeoutMs = 10000; // for the whole request, counted from the connection
    DWORD maxRequestBytes = 65536;  // a longer request is dropped, unanswered
    // For the reply to be taken: a reply that fits the pipe's buffer is taken at once; a longer one waits
    // for the client to read it. The instance closes as soon as the reply is written: closing it, unlike
    // DisconnectNamedPipe, leaves the reply for the client to read.
    DWORD replyReadMs = 5000;
};

// The security, as SDDL, that an elevated downloader gives its instances (ServerOptions::securityDescriptor)
// so that the unelevated setups of its user can open them: full access for SYSTEM, the Administrators and
// this process's user, and a medium mandatory label with no-write-up. Without it an elevated process's
// instances carry its high label, whose no-write-up refuses a medium-integrity client's open for writing,
// and its elevated token's default DACL ("Mandatory Integrity Control" in Microsoft's documentation).
// Raises wexception when this process's user cannot be read.
std::wstring ElevatedServerSddl();

// Fills the reply to one request and returns true, or returns false to close without a reply. Runs on a
// thread of the server's handler pool, up to maxClients at once; a stop waits for it, so it must return
// promptly. A raised exception closes the connection without a reply, as false does.
using RequestHandler = std::function<bool(InputBuffer& request, OutputBuffer& reply)>;

// What happened, as data; the server's own events have client 0. Clients are numbered from 1 in the
// order in which they connected. A lack of memory costs the one connection it hit (error
// ERROR_NOT_ENOUGH_MEMORY), never the server.
struct ServerEvent {
    enum class Kind {
        Listening,      // the first instance exists: a client can connect from now on
        Connected,      // processId: the client's, 0 when unknown
        Refused,        // processId: its process holds as many connections as it may; held unread, then closed
        NoRequest,      // left, or sent nothing whole within the time, or the stop came first (error: why)
        RequestTooLong, // more than maxRequestBytes
        Dropped,        // the request was whole, but the stop came before a handler took it
        NotAnswered,    // the handler returned false
        HandlerFailed,  // the handler raised
        Answered,       // the reply was written and its instance closed: the client reads it from there
        ReplyFailed,    // the reply could not be written (error; ERROR_TIMEOUT: not taken within replyReadMs)
        InstanceFailed, // a new instance could not be made or could not listen (error); tried again shortly
    };
    Kind kind = Kind::Listening;
    unsigned long client = 0;
    DWORD error = ERROR_SUCCESS;
    ULONG processId = 0;
    std::string reply; // Answered, ReplyFailed: the bytes
};
// Called from the server's thread-pool threads, for several clients at the same time, and with Listening
// from the constructor's, as its last step; it must not raise (what it raises is dropped, so that a faulty
// observer cannot stop the serving) and should return at once: the connections wait while it runs.
using ServerObserver = std::function<void(const ServerEvent&)>;

class PipeServer {
public:
    // Creates the first instance and starts serving; raises wexception when the name cannot be served
    // (held by another server with firstInstance, an invalid name, grant SID or security descriptor), or
    // when the system gives it no thread pool or no memory.
    PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer = nullptr);
    // Stops and waits.
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Asks the server to stop and returns at once; safe from any thread: a console control handler, the
    // request handler and the observer included. From then on no request is handed to the handler;
    // clients whose request no handler has taken are let go. A reply being written keeps its replyReadMs.
    void Stop() noexcept;
    // Waits until the server has stopped, every callback returned and every instance closed; false when it
    // is still serving after the time. After Stop() it returns once the handlers running at the stop have
    // returned, and at most replyReadMs after that, whatever the clients do. Neither this nor the
    // destructor may be called from the request handler or the observer: they wait for the callbacks that
    // run those.
    bool Wait(DWORD timeoutMs = INFINITE) const;

private:
    std::unique_ptr<ServerLoop> loop_;
};

} // namespace IPC
