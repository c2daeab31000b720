#include "Pipe.h"

#include <memory>
#include <new>
#include <utility>

#include "PipeSecurity.h"
#include "Text.h"
#include "ThreadPoolHandles.h"

namespace IPC {

namespace {

class LockGuard {
public:
    explicit LockGuard(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~LockGuard() { LeaveCriticalSection(&section_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

HANDLE OpenExisting(const std::wstring& name)
{
    // Identification level only: whoever serves this well-known name may learn who we are, but may
    // not act as us. No test covers these flags: Wine 8 ignores them and gives a server an
    // impersonation-level token with and without them.
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

} // namespace

PendingConnectRecord PendingConnect;

PendingConnectRecord::PendingConnectRecord()
{
    // Can fail only for lack of memory, and only on systems before Vista.
    if (!InitializeCriticalSectionAndSpinCount(&lock, 0))
        throw std::bad_alloc();
}

PendingConnectRecord::~PendingConnectRecord()
{
    // A server still waiting at exit, or one that has left but whose retry of a cancel may still run, takes
    // the lock again: it then stays for them, and goes with the process.
    EnterCriticalSection(&lock);
    const bool idle = users == 0;
    LeaveCriticalSection(&lock);
    if (idle)
        DeleteCriticalSection(&lock);
}

namespace {

// How often the retry of a cancel tries again to release a wait.
const DWORD kRetryMs = 10;

// Releases the server's wait, whichever thread waits. CancelIoEx cancels the I/O on this server's own handle
// that any thread of the process issued, synchronous calls included, and nothing else; CancelSynchronousIo
// would cancel whatever synchronous call the thread makes (Microsoft Learn, "CancelIoEx function": "an I/O
// completion packet is not queued to the port if a synchronous operation is successfully canceled";
// "Canceling Pending I/O Operations"). Called under the lock, and only once the server has looked at its
// flag for the last time: from then until it leaves, its ConnectNamedPipe is the only I/O on that handle.
void ReleaseWait(const PendingServer& server) { CancelIoEx(server.pipe, nullptr); }

// The timer of a server that a cancel found waiting: it may have come before the server entered the
// system's wait, when there was nothing to cancel yet; and CancelIoEx's answer cannot tell (Windows answers
// ERROR_NOT_FOUND then, but Wine answers TRUE). So the release is tried again until the server has left.
VOID CALLBACK RetryRelease(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER)
{
    const PendingServer& server = *static_cast<const PendingServer*>(context);
    LockGuard guard(PendingConnect.lock);
    if (server.pipe != nullptr)
        ReleaseWait(server);
}

} // namespace

// One server's place in the record and the timer that retries a cancel of it. The timer is made first, so
// that a failure to make it is raised here rather than met by a cancel; and nothing started by a cancel
// outlives this wait: on leaving, the server unregisters under the lock, so that nothing arms the timer any
// more, and then ends the timer and waits for its last callback.
class ConnectWait {
public:
    ConnectWait()
    {
        server_.retry = CreateThreadpoolTimer(RetryRelease, &server_, nullptr);
        if (server_.retry == nullptr) {
            const DWORD error = GetLastError();
            RAISE_WEXCEPTION_CODE(with_hresult(L"CreateThreadpoolTimer failed", error), error);
        }
        LockGuard guard(PendingConnect.lock);
        ++PendingConnect.users;
    }
    ~ConnectWait()
    {
        static_cast<void>(Leave());
        // UniqueThreadpoolTimer's steps, written out: the holder's code would take the 64-bit image past its
        // size budget.
        SetThreadpoolTimer(server_.retry, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(server_.retry, TRUE);
        CloseThreadpoolTimer(server_.retry);
        // Nothing of this wait can enter the lock any more.
        LockGuard guard(PendingConnect.lock);
        --PendingConnect.users;
    }
    ConnectWait(const ConnectWait&) = delete;
    ConnectWait& operator=(const ConnectWait&) = delete;

    void Register(HANDLE pipe)
    {
        LockGuard guard(PendingConnect.lock);
        server_.pipe = pipe;
        server_.terminated = false;
        server_.next = PendingConnect.servers;
        PendingConnect.servers = &server_;
    }

    // The last look at the flag: false when a cancel has come; otherwise a cancel from now on releases the
    // system's wait.
    [[nodiscard]] bool Begin()
    {
        LockGuard guard(PendingConnect.lock);
        server_.waiting = !server_.terminated;
        return server_.waiting;
    }

    // Leaves the record, if still in it; answers whether a cancel came.
    [[nodiscard]] bool Leave()
    {
        LockGuard guard(PendingConnect.lock);
        for (PendingServer** link = &PendingConnect.servers; *link != nullptr; link = &(*link)->next) {
            if (*link == &server_) {
                *link = server_.next;
                break;
            }
        }
        server_.pipe = nullptr;
        return server_.terminated;
    }

private:
    PendingServer server_;
};

Pipe::Pipe(std::wstring name, bool client, const HandleObserver& observe)
{
    if (client) {
        OpenClient(std::move(name), observe);
    } else {
        // Made before the instance, so that a failure to make it leaves no instance a client could reach.
        ConnectWait wait;
        CreateServer(std::move(name));
        WaitForClient(wait, observe);
    }
}

void Pipe::OpenClient(std::wstring path, const HandleObserver& observe)
{
    // Clients inside an AppContainer reach the server's "_EPM" instance.
    if (is_app_container())
        path = AppContainerPipeName(path);
    handle_.reset(OpenExisting(path));
    DWORD error = handle_ ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_PIPE_BUSY) {
        // One wait for a free instance; the caller retries the whole open if it needs more.
        if (!WaitNamedPipeW(path.c_str(), kBusyWaitMs)) {
            const DWORD waitError = GetLastError();
            RAISE_WEXCEPTION_CODE(L"Timeout while trying to connect to a named pipe, pipe is busy", waitError);
        }
        handle_.reset(OpenExisting(path));
        error = handle_ ? ERROR_SUCCESS : GetLastError();
    }
    if (!handle_)
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to connect to a named pipe", error), error);
    if (observe)
        observe(handle_.get());
    SetMessageReadMode();
}

void Pipe::CreateServer(std::wstring path)
{
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;

    PipeSecurity security;
    if (!GrantSid.empty()) {
        security = make_pipe_security();
        attributes.lpSecurityDescriptor = security.get();
        path = AppContainerPipeName(path);
    }

    handle_.reset(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                   kPipeBufferSize, kPipeBufferSize, 0, &attributes));
    const DWORD error = handle_ ? ERROR_SUCCESS : GetLastError();
    // The creation has read the descriptor; it is not needed any longer.
    security = PipeSecurity();

    if (!handle_)
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to connect to a named pipe", error), error);
    SetMessageReadMode();
}

void Pipe::SetMessageReadMode()
{
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(handle_.get(), &mode, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_hresult(L"SetNamedPipeHandleState failed", error), error);
    }
}

void Pipe::WaitForClient(ConnectWait& wait, const HandleObserver& observe)
{
    wait.Register(handle_.get());
    if (observe)
        observe(handle_.get());
    // A cancel that came before the wait is kept: the wait it would have released does not begin.
    DWORD error = ERROR_OPERATION_ABORTED;
    if (wait.Begin())
        error = ConnectNamedPipe(handle_.get(), nullptr) ? ERROR_SUCCESS : GetLastError();
    const bool terminated = wait.Leave();
    // A client that connected between creation and this call is connected all the same.
    if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED)
        RAISE_WEXCEPTION_CODE(with_hresult(L"Client failed to connect", error), error);
    if (terminated) {
        handle_.reset();
        RAISE_WEXCEPTION(L"The pipe terminated.");
    }
}

bool CancelPendingConnect()
{
    LockGuard guard(PendingConnect.lock);
    for (PendingServer* server = PendingConnect.servers; server != nullptr; server = server->next) {
        server->terminated = true;
        // A server that has not taken its last look yet sees the flag itself; what it does until then is
        // left alone.
        if (server->waiting) {
            ReleaseWait(*server);
            ArmTimer(server->retry, kRetryMs, kRetryMs); // from kRetryMs on, every kRetryMs
        }
    }
    return PendingConnect.servers != nullptr;
}

void Pipe::Write(const OutputBuffer& buffer)
{
    const std::string bytes = buffer.Content();
    DWORD written = 0;
    // In message mode the write takes the whole message or fails.
    if (!WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        // The text names no code; the code goes with it as data all the same.
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(L"Failed to write to pipe", error);
    }
}

InputBuffer Pipe::Read()
{
    std::string message;
    std::unique_ptr<char[]> chunk(new char[kPipeBufferSize]);
    for (;;) {
        DWORD read = 0;
        if (ReadFile(handle_.get(), chunk.get(), kPipeBufferSize, &read, nullptr)) {
            message.append(chunk.get(), read);
            break;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_MORE_DATA) {
            message.append(chunk.get(), read);
            continue;
        }
        if (error == ERROR_BROKEN_PIPE)
            RAISE_WEXCEPTION_CODE(L"Pipe disconnected", error);
        RAISE_WEXCEPTION_CODE(L"Error reading from pipe: " + Decimal(error), error);
    }
    return InputBuffer(std::move(message));
}

} // namespace IPC
