// The server end of a named pipe, as a downloader runs it: requests answered by a handler, many clients at
// once, an instance listening at all times below a bound on connections, and a stop that ends it all
// within a bound.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Handles.h"
#include "MessageBuffer.h"
#include "OverlappedIo.h"
#include "PipeSecurity.h"

namespace IPC {

struct ServerConnection;
enum class ConnectionBudget : int;

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
    // Requests handled at once, each on a worker thread, and instances listening ahead of a burst (two at
    // least). A client holds no thread until its request is whole: clients that connect and send nothing
    // cost an instance each, never a worker.
    unsigned maxClients = 64;
    // Clients connected at once, whether their request has come or not, listening instances included.
    // Below it instances always listen; at it the name has none free, and a new client's open waits for
    // one (ERROR_PIPE_BUSY) until a connection ends, which takes at most requestTimeoutMs for a client that
    // sends nothing.
    unsigned maxConnections = 256;
    // Of one client process's connections whose request is still coming, this many at most count against
    // maxConnections. Its further ones count against a reserve of their own, of maxConnections more, and are
    // read and served all the same; one beyond both is closed at once, unread (Refused). So the clients of
    // one process, however many and however often they come back, never fill the bound that other
    // processes' setups need an instance from.
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

// Fills the reply to one request and returns true, or returns false to close without a reply. Runs on
// one of the server's worker threads, up to maxClients at once; a stop waits for it, so it must return
// promptly. A raised exception closes the connection without a reply, as false does.
using RequestHandler = std::function<bool(InputBuffer& request, OutputBuffer& reply)>;

// What happened, as data; the server's own events have client 0. Clients are numbered from 1 in the
// order in which they connected. A lack of memory costs the one connection it hit (error
// ERROR_NOT_ENOUGH_MEMORY), never the server.
struct ServerEvent {
    enum class Kind {
        Listening,      // the first instance exists: a client can connect from now on
        Connected,      // processId: the client's, 0 when unknown
        Refused,        // processId: its process holds as many connections as it may; closed at once, unread
        NoRequest,      // left, or sent nothing whole within the time, or the stop came first (error: why)
        RequestTooLong, // more than maxRequestBytes
        Dropped,        // the request was whole, but no worker took it: the stop came first (error 0), or no
                        // memory to queue it
        NotAnswered,    // the handler returned false
        HandlerFailed,  // the handler raised
        Answered,       // the reply was written and its instance closed: the client reads it from there
        ReplyFailed,    // the reply could not be written (error; ERROR_TIMEOUT: not taken within replyReadMs)
        InstanceFailed, // a new instance could not be made or could not listen (error); tried again shortly
        WorkerFailed,   // a worker thread could not be started (error); tried again shortly
    };
    Kind kind = Kind::Listening;
    unsigned long client = 0;
    DWORD error = ERROR_SUCCESS;
    ULONG processId = 0;
    std::string reply; // Answered, ReplyFailed: the bytes
};
// Called from the server's threads, for several clients at the same time; it must not raise (what it
// raises is dropped, so that a faulty observer cannot stop the serving) and should return at once: the
// connections wait while it runs.
using ServerObserver = std::function<void(const ServerEvent&)>;

class PipeServer {
public:
    // Creates the first instance and starts serving; raises wexception when the name cannot be served
    // (held by another server with firstInstance, an invalid name, grant SID or security descriptor).
    PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer = nullptr);
    // Stops and waits.
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Asks the server to stop and returns at once; safe from any thread: a console control handler, the
    // request handler and the observer included. From then on no request is handed to the handler;
    // clients whose request a worker has not taken are let go. A reply being written keeps its replyReadMs.
    void Stop() noexcept;
    // Waits until the server has stopped, every thread joined and every instance closed; false when it
    // is still serving after the time. After Stop() it returns once the handlers running at the stop have
    // returned, and at most replyReadMs after that, whatever the clients do. Neither this nor the
    // destructor may be called from the request handler or the observer: they wait for the threads that
    // run those.
    bool Wait(DWORD timeoutMs = INFINITE) const;

private:
    using Connection = std::unique_ptr<ServerConnection>;
    // A new worker's thread argument: the server and the worker's own I/O, made before the thread so that
    // a worker, once started, cannot fail.
    struct WorkerStart;
    // What failed (an instance, a worker) is tried again once the pause is over: one try a pause, however
    // long the failure lasts.
    struct RetryPause {
        static constexpr DWORD kPauseMs = 200;
        bool pending = false;
        Deadline over{0};
        void Start() noexcept
        {
            pending = true;
            over = Deadline(kPauseMs);
        }
        // Whether a try may be made now.
        bool Due() noexcept
        {
            if (pending && !over.Passed())
                return false;
            pending = false;
            return true;
        }
    };

    static DWORD WINAPI ListenMain(void* server);
    static DWORD WINAPI WorkMain(void* start);
    UniqueFile CreateInstance(bool first, DWORD& error) const;
    void Notify(const ServerEvent& event) const noexcept;
    bool Stopped() const noexcept;

    // The listener: one thread that makes the instances, awaits their clients and their requests, and
    // hands each whole request to the workers. Nothing of it raises: what fails costs the one instance or
    // connection it hit, with an event.
    void Listen();
    void KeepListening(std::vector<Connection>& connections);
    bool Arm(Connection instance, std::vector<Connection>& connections);
    void FailInstance(DWORD error);
    void Complete(ServerConnection& connection, DWORD error, DWORD bytes, std::vector<Connection>& connections);
    // Counts the client against its bound, makes the next instance when told to, then starts the read of
    // its request.
    void StartRequest(ServerConnection& connection, std::vector<Connection>& connections, bool keepListening);
    void Admit(ServerConnection& connection);
    DWORD ReadRequest(ServerConnection& connection);
    void ExpireRequests(std::vector<Connection>& connections);
    DWORD NextWakeMs(const std::vector<Connection>& connections) const;
    static Connection Take(ServerConnection& connection, std::vector<Connection>& connections);
    void HandOn(ServerConnection& connection, std::vector<Connection>& connections);
    void LeaveProcessCount(ServerConnection& connection) noexcept;
    void Forget(ServerConnection& connection, std::vector<Connection>& connections);
    void Uncount(ConnectionBudget budget) noexcept;
    void Shutdown(std::vector<Connection>& connections);
    void Hire();

    // The workers: each takes one whole request after another.
    void Work(OverlappedIo& io);
    Connection NextRequest();
    ServerEvent Serve(ServerConnection& connection, OverlappedIo& io);

    const ServerOptions options_;
    const std::wstring path_;
    const RequestHandler handler_;
    const ServerObserver observer_;
    PipeSecurity security_;     // the _EPM instances'
    LocalPtr<void> descriptor_; // securityDescriptor's, as the system reads it
    UniqueHandle stop_;
    UniqueHandle port_; // the completion port of every instance's connect and request reads
    Connection first_;  // the first instance, made by the constructor, until the listener takes it
    unsigned listening_ = 0;
    unsigned long clients_ = 0;
    RetryPause instanceRetry_;
    RetryPause workerRetry_;
    bool moreNow_ = false; // the pass made as many instances as it may: the next one comes at once
    // Of each client process, its connections that count against maxConnections while their request comes.
    std::map<ULONG, unsigned> reading_;
    std::vector<UniqueHandle> workers_;
    // The whole requests waiting for a worker, the workers waiting for one, and the connected clients.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE queued_ = CONDITION_VARIABLE_INIT;
    std::deque<Connection> queue_;
    unsigned alive_ = 0;     // workers, until they end
    unsigned idle_ = 0;      // workers that will take the next request without a new one hired
    unsigned connected_ = 0; // clients counted against maxConnections
    unsigned reserved_ = 0;  // clients counted against the reserve beyond it
    bool stopping_ = false;
    UniqueHandle listener_;
};

} // namespace IPC
