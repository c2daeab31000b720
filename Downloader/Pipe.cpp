#include "Pipe.h"

#include <memory>
#include <new>
#include <utility>

#include "PipeSecurity.h"
#include "Text.h"

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

PendingConnectRecord::~PendingConnectRecord() { DeleteCriticalSection(&lock); }

Pipe::Pipe(std::wstring name, bool client, const HandleObserver& observe)
{
    if (client) {
        OpenClient(std::move(name), observe);
    } else {
        CreateServer(std::move(name));
        WaitForClient(observe);
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

namespace {

// Releases the recorded wait of the waiting thread; false when that thread is not in the system's wait
// (not yet, or no longer). Called with the record's lock held.
bool ReleaseRecordedWait()
{
    const UniqueHandle thread(OpenThread(THREAD_TERMINATE, FALSE, PendingConnect.thread));
    return thread && CancelSynchronousIo(thread.get());
}

// A cancel that came between the waiter's last look at the flag and its entry into the system's wait
// found nothing to release: it is tried again from the thread pool until that wait has been released or
// has ended, so that the canceller itself never waits for the waiter.
VOID CALLBACK RetryRelease(PTP_CALLBACK_INSTANCE, void* context)
{
    const unsigned long wait = static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(context));
    for (;;) {
        {
            LockGuard guard(PendingConnect.lock);
            if (PendingConnect.pipe == nullptr || PendingConnect.wait != wait || ReleaseRecordedWait())
                return;
        }
        Sleep(1);
    }
}

} // namespace

void Pipe::WaitForClient(const HandleObserver& observe)
{
    {
        LockGuard guard(PendingConnect.lock);
        PendingConnect.pipe = handle_.get();
        PendingConnect.terminated = false;
        PendingConnect.thread = GetCurrentThreadId();
        ++PendingConnect.wait;
    }
    const auto leave = [](bool& terminated) {
        LockGuard guard(PendingConnect.lock);
        terminated = PendingConnect.terminated;
        PendingConnect.pipe = nullptr;
    };
    bool terminated = false;
    try {
        if (observe)
            observe(handle_.get());
    } catch (...) {
        leave(terminated);
        throw;
    }

    // A cancel that came before the wait is kept: the wait it would have released does not begin.
    DWORD error = ERROR_OPERATION_ABORTED;
    {
        LockGuard guard(PendingConnect.lock);
        terminated = PendingConnect.terminated;
    }
    if (!terminated)
        error = ConnectNamedPipe(handle_.get(), nullptr) ? ERROR_SUCCESS : GetLastError();
    leave(terminated);
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
    if (PendingConnect.pipe == nullptr)
        return false;
    PendingConnect.terminated = true;
    if (!ReleaseRecordedWait())
        TrySubmitThreadpoolCallback(RetryRelease, reinterpret_cast<void*>(static_cast<ULONG_PTR>(PendingConnect.wait)),
                                    nullptr);
    return true;
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
