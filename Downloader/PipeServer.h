// The server end of a named pipe, as a downloader runs it: requests answered by a handler, several
// clients at once, an instance listening at all times, and a stop that ends it all within a bound.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <string>

#include "Handles.h"
#include "MessageBuffer.h"
#include "PipeSecurity.h"

namespace IPC {

// How the server makes its pipe instances and how long it gives a client. The defaults are the choices
// a downloader should make.
struct ServerOptions {
    std::wstring name; // the full pipe name, "\\.\pipe\..."
    // A SID string (an AppContainer's or a capability's): serve name + "_EPM" instead, for clients inside an
    // AppContainer, open to this process's logon session and to that SID only, and labelled low integrity.
    std::wstring grantSid;
    // The first instance refuses a name that another server holds already, so that a second copy of the
    // downloader, or another program that took the name first, makes serving fail instead of sharing the
    // name's clients with it.
    bool firstInstance = true;
    bool rejectRemoteClients = true;
    // Inheritable instances outlive the server in every child started with handle inheritance: a client
    // then waits for an answer that never comes, for as long as that child runs.
    bool inheritable = false;
    unsigned maxClients = 64;       // served at once; more wait, connected, for a turn
    DWORD requestTimeoutMs = 10000; // for the whole request after the client connected
    DWORD maxRequestBytes = 65536;  // a longer request is dropped, unanswered
    // After the reply: how long the client has to read it and hang up before its instance closes.
    DWORD replyReadMs = 5000;
};

// Fills the reply to one request and returns true, or returns false to close without a reply. Runs on
// one of the server's threads, up to maxClients at once; a stop waits for it, so it must return promptly.
// A raised exception closes the connection without a reply, as false does.
using RequestHandler = std::function<bool(InputBuffer& request, OutputBuffer& reply)>;

// What happened, as data; the server's own events have client 0. Clients are numbered from 1 in the
// order in which they connected.
struct ServerEvent {
    enum class Kind {
        Listening,      // the first instance exists: a client can connect from now on
        Connected,      // processId: the client's, 0 when unknown
        NoRequest,      // left, or sent nothing whole within the time, before a request (error: why)
        RequestTooLong, // more than maxRequestBytes
        NotAnswered,    // the handler returned false
        HandlerFailed,  // the handler raised
        Answered,       // the reply was written; error 0: the client hung up after it, else ERROR_TIMEOUT
        ReplyFailed,    // the reply could not be written (error)
        InstanceFailed, // a new instance could not be made (error); tried again shortly
    };
    Kind kind = Kind::Listening;
    unsigned long client = 0;
    DWORD error = ERROR_SUCCESS;
    ULONG processId = 0;
    std::string reply; // Answered, ReplyFailed: the bytes
};
// Called from the server's threads, for several clients at the same time; it must not raise (what it
// raises is dropped, so that a faulty observer cannot stop the serving).
using ServerObserver = std::function<void(const ServerEvent&)>;

class PipeServer {
public:
    // Creates the first instance and starts serving; raises wexception when the name cannot be served
    // (held by another server with firstInstance, an invalid name or grant SID).
    PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer = nullptr);
    // Stops and waits.
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Asks the server to stop and returns at once; safe from any thread, a console control handler or
    // the handler included. Clients waiting for a turn or sending their request are dropped; a reply
    // already written gets its time to be read.
    void Stop() noexcept;
    // Waits until the server has stopped, every thread joined and every instance closed; false when it
    // is still serving after the time.
    bool Wait(DWORD timeoutMs = INFINITE) const;

private:
    class PendingIo;
    struct Listener;
    struct Client;

    static DWORD WINAPI ListenMain(void* server);
    static DWORD WINAPI WorkMain(void* server);
    void Listen();
    void Work();
    void Serve(Client& client, PendingIo& io, char* chunk);
    UniqueFile CreateInstance(bool first, DWORD& error) const;
    std::size_t MostClients() const { return options_.maxClients < 1 ? 1 : options_.maxClients; }
    void Notify(const ServerEvent& event) const noexcept;

    const ServerOptions options_;
    const std::wstring path_;
    const RequestHandler handler_;
    const ServerObserver observer_;
    PipeSecurity security_;
    UniqueHandle stop_;
    UniqueHandle room_; // set when a client leaves a full queue for a worker
    UniqueFile first_;  // the first instance, made by the constructor, until the listener takes it
    // The connected clients waiting for a worker, and the workers waiting for one.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE queued_ = CONDITION_VARIABLE_INIT;
    std::deque<Client> queue_;
    unsigned idle_ = 0;
    bool stopping_ = false;
    UniqueHandle listener_;
};

} // namespace IPC
