#include "Pipe.h"

#include <memory>
#include <new>
#include <utility>

#include "PipeSecurity.h"
#include "Text.h"

namespace IPC {

namespace {

const DWORD kBusyWaitMs = 3000;
const DWORD kBufferSize = 1024;

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

Pipe::Pipe(std::wstring name, bool client, const OpenNotice& opened)
{
    if (client) {
        OpenClient(std::move(name), opened);
    } else {
        WaitForClient(CreateServer(std::move(name)), opened);
    }
}

void Pipe::OpenClient(std::wstring path, const OpenNotice& opened)
{
    // Clients inside an AppContainer reach the server's "_EPM" instance.
    if (is_app_container())
        path += L"_EPM";
    handle_.reset(OpenExisting(path));
    DWORD error = handle_ ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_PIPE_BUSY) {
        // One wait for a free instance; the caller retries the whole open if it needs more.
        if (!WaitNamedPipeW(path.c_str(), kBusyWaitMs))
            RAISE_WEXCEPTION(L"Timeout while trying to connect to a named pipe, pipe is busy");
        handle_.reset(OpenExisting(path));
        error = handle_ ? ERROR_SUCCESS : GetLastError();
    }
    if (!handle_)
        RAISE_WEXCEPTION(with_last_error(L"Unable to connect to a named pipe", error));
    if (opened)
        opened(handle_.get());
    SetMessageReadMode();
}

std::wstring Pipe::CreateServer(std::wstring path)
{
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;

    PipeSecurity security;
    if (!GrantSid.empty()) {
        security = make_pipe_security();
        attributes.lpSecurityDescriptor = security.get();
        path += L"_EPM";
    }

    handle_.reset(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                   kBufferSize, kBufferSize, 0, &attributes));
    const DWORD error = handle_ ? ERROR_SUCCESS : GetLastError();
    // The creation has read the descriptor; it is not needed any longer.
    security = PipeSecurity();

    if (!handle_)
        RAISE_WEXCEPTION(with_last_error(L"Unable to connect to a named pipe", error));
    SetMessageReadMode();
    return path;
}

void Pipe::SetMessageReadMode()
{
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(handle_.get(), &mode, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION(with_hresult(L"SetNamedPipeHandleState failed", error));
    }
}

void Pipe::WaitForClient(const std::wstring& path, const OpenNotice& opened)
{
    if (opened)
        opened(handle_.get());

    // The copy is the step that can throw: it is made before the record changes, so that the record
    // never names a waiting pipe without the name to reach it by.
    std::wstring name = path;
    {
        LockGuard guard(PendingConnect.lock);
        PendingConnect.name.swap(name);
        PendingConnect.terminated = false;
        PendingConnect.pipe = handle_.get();
    }

    const DWORD error = ConnectNamedPipe(handle_.get(), nullptr) ? ERROR_SUCCESS : GetLastError();
    // A client that connected between creation and this call is connected all the same.
    if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED) {
        {
            LockGuard guard(PendingConnect.lock);
            PendingConnect.pipe = nullptr;
        }
        RAISE_WEXCEPTION(with_hresult(L"Client failed to connect", error));
    }

    bool terminated = false;
    {
        LockGuard guard(PendingConnect.lock);
        terminated = PendingConnect.terminated;
        PendingConnect.pipe = nullptr;
    }
    if (terminated) {
        handle_.reset();
        RAISE_WEXCEPTION(L"The pipe terminated.");
    }
}

bool CancelPendingConnect()
{
    std::wstring name;
    {
        LockGuard guard(PendingConnect.lock);
        if (PendingConnect.pipe == nullptr)
            return false;
        PendingConnect.terminated = true;
        name = PendingConnect.name;
    }
    // Connecting releases the server's blocked ConnectNamedPipe; it then sees the flag and closes.
    UniqueFile wakeUp(OpenExisting(name));
    if (!wakeUp && GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeW(name.c_str(), kBusyWaitMs))
        wakeUp.reset(OpenExisting(name));
    return true;
}

void Pipe::Write(const OutputBuffer& buffer)
{
    const std::string bytes = buffer.Content();
    DWORD written = 0;
    // In message mode the write takes the whole message or fails.
    if (!WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        RAISE_WEXCEPTION(L"Failed to write to pipe");
}

InputBuffer Pipe::Read()
{
    std::string message;
    std::unique_ptr<char[]> chunk(new char[kBufferSize]);
    for (;;) {
        DWORD read = 0;
        if (ReadFile(handle_.get(), chunk.get(), kBufferSize, &read, nullptr)) {
            message.append(chunk.get(), read);
            break;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_MORE_DATA) {
            message.append(chunk.get(), read);
            continue;
        }
        if (error == ERROR_BROKEN_PIPE)
            RAISE_WEXCEPTION(L"Pipe disconnected");
        RAISE_WEXCEPTION(L"Error reading from pipe: " + Decimal(error));
    }
    return InputBuffer(std::move(message));
}

} // namespace IPC
