#include "ServerLoop.h"

#include <algorithm>
#include <new>
#include <utility>

#include <sddl.h>

#include "ServerConnection.h"
#include "Text.h"
#include "WException.h"

namespace IPC {

namespace {

// Whether this system ignores FILE_FLAG_FIRST_PIPE_INSTANCE: a second instance of a name that a first one
// made with the flag holds comes to be all the same. Windows refuses it at the creation, atomically
// (ERROR_ACCESS_DENIED, "CreateNamedPipeW" in Microsoft's documentation); Wine 8 makes it. Asked once, of a
// name of this process's own; a probe that cannot be made leaves the system trusted.
bool FirstInstanceFlagIgnored()
{
    static const bool ignored = [] {
        const std::wstring name = L"\\\\.\\pipe\\tessaline-first-instance-probe-" + Decimal(GetCurrentProcessId()) +
                                  L"-" + Decimal(GetTickCount());
        const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE;
        const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_REJECT_REMOTE_CLIENTS;
        const UniqueFile first(CreateNamedPipeW(name.c_str(), openMode, pipeMode, 2, 0, 0, 0, nullptr));
        if (!first)
            return false;
        const UniqueFile second(CreateNamedPipeW(name.c_str(), openMode, pipeMode, 2, 0, 0, 0, nullptr));
        return static_cast<bool>(second);
    }();
    return ignored;
}

// The thread-pool object a call made, or a raise with the call's error.
template <typename Object> Object Made(Object object, const wchar_t* call)
{
    if (object == nullptr) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(std::wstring(call) + L" failed", error), error);
    }
    return object;
}

ServerLimits LimitsOf(const ServerOptions& options)
{
    // As many instances listen as requests are served at once, two at least: an open that waits for an
    // instance (WaitNamedPipe) returns for every waiting client when one is free, and all but one of them
    // then fail their attempt ("WaitNamedPipe" in Microsoft's documentation), so a burst of setups must find
    // instances listening ahead of it.
    const int most = static_cast<int>(std::min(std::max(options.maxConnections, 1u), 0x10000u));
    const int clients = static_cast<int>(std::min(std::max(options.maxClients, 1u), 0x10000u));
    const int share = static_cast<int>(std::min(std::max(options.maxConnectionsPerProcess, 1u), 0x10000u));
    return ServerLimits{std::max(2, clients), most, share, most};
}

} // namespace

ServerConnection::ServerConnection(ServerLoop& owner, UniqueFile instance, PTP_CALLBACK_ENVIRON ioEnvironment,
                                   PTP_CALLBACK_ENVIRON handlerEnvironment)
    : loop(owner), pipe(std::move(instance)),
      io(Made(CreateThreadpoolIo(pipe.get(), ServerLoop::OnIo, this, ioEnvironment), L"CreateThreadpoolIo")),
      deadlineTimer(Made(CreateThreadpoolTimer(ServerLoop::OnDeadline, this, ioEnvironment), L"CreateThreadpoolTimer")),
      work(Made(CreateThreadpoolWork(ServerLoop::OnRequest, this, handlerEnvironment), L"CreateThreadpoolWork"))
{}

ServerLoop::ServerLoop(ServerOptions options, RequestHandler handler, ServerObserver observer)
    : options_(std::move(options)),
      path_(options_.grantSid.empty() ? options_.name : AppContainerPipeName(options_.name)),
      handler_(std::move(handler)), observer_(std::move(observer)), state_(LimitsOf(options_)), done_(NewEvent()),
      ioPool_(Made(CreateThreadpool(nullptr), L"CreateThreadpool")),
      handlerPool_(Made(CreateThreadpool(nullptr), L"CreateThreadpool")),
      group_(Made(CreateThreadpoolCleanupGroup(), L"CreateThreadpoolCleanupGroup")),
      ioEnvironment_(ioPool_.get(), group_.get(), false), handlerEnvironment_(handlerPool_.get(), group_.get(), true),
      pause_(Made(CreateThreadpoolTimer(OnPauseOver, this, ioEnvironment_.get()), L"CreateThreadpoolTimer")),
      more_(Made(CreateThreadpoolWork(OnMore, this, ioEnvironment_.get()), L"CreateThreadpoolWork")),
      freeing_(Made(CreateThreadpoolWork(OnEnded, this, ioEnvironment_.get()), L"CreateThreadpoolWork"))
{
    // The handlers' pool never has more threads than requests may be handled at once; a handler that waits
    // makes the pool start another (its callbacks are said to run long), up to that number.
    SetThreadpoolThreadMaximum(handlerPool_.get(), static_cast<DWORD>(std::max(1u, options_.maxClients)));
    if (!options_.grantSid.empty()) {
        if (!options_.securityDescriptor.empty())
            RAISE_WEXCEPTION(L"A grant SID and a security descriptor cannot both be given");
        security_ = make_pipe_security(options_.grantSid);
        if (!security_)
            RAISE_WEXCEPTION(L"Unable to build the security descriptor of the _EPM instance");
    } else if (!options_.securityDescriptor.empty()) {
        PSECURITY_DESCRIPTOR parsed = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(options_.securityDescriptor.c_str(), SDDL_REVISION_1,
                                                                  &parsed, nullptr)) {
            const DWORD error = GetLastError();
            RAISE_WEXCEPTION_CODE(with_last_error(L"Invalid security descriptor", error), error);
        }
        descriptor_.reset(parsed);
    }
    // With FILE_FLAG_FIRST_PIPE_INSTANCE the creation fails with ERROR_ACCESS_DENIED when the name has an
    // instance already. Where the system ignores the flag, a look at the name before the creation refuses
    // it instead (ERROR_ALREADY_EXISTS): WaitNamedPipeW succeeds where an instance is free and times out
    // where every one is busy. The look is not atomic (a name whose last instances close between the
    // look and the creation is refused though free), so it is made only there.
    const bool served = options_.firstInstance && FirstInstanceFlagIgnored() &&
                        (WaitNamedPipeW(path_.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT);
    DWORD error = ERROR_SUCCESS;
    UniqueFile first = CreateInstance(true, error);
    if (first && served) {
        first.reset();
        error = ERROR_ALREADY_EXISTS;
    }
    if (!first && options_.firstInstance && (error == ERROR_ACCESS_DENIED || error == ERROR_ALREADY_EXISTS))
        RAISE_WEXCEPTION_CODE(with_last_error(L"Another server has this pipe name already", error), error);
    if (!first)
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create a pipe instance", error), error);
    std::unique_ptr<ServerConnection> connection = MakeConnection(std::move(first), error);
    if (!connection)
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to serve the pipe instance", error), error);
    {
        ExclusiveLock guard(state_.Lock());
        static_cast<void>(state_.ReserveInstance()); // the first of at least two
    }
    // Nothing fails from here on: the observer hears of a server that will serve.
    Notify(Event(ServerEvent::Kind::Listening, 0));
    ServerConnection* const early = Listen(std::move(connection));
    {
        ExclusiveLock guard(state_.Lock());
        early_ = early;
    }
    SubmitThreadpoolWork(more_.get()); // the other instances, and then an early client, on the pool
}

void ServerLoop::Stop() noexcept
{
    bool done = false;
    {
        ExclusiveLock guard(state_.Lock());
        if (state_.Stopping())
            return;
        done = state_.Stop();
        // Listening instances and requests still coming are let go; a reply being written keeps its time.
        for (ConnectionEntry* entry = state_.First(); entry != nullptr; entry = entry->next) {
            if (entry->stage == Stage::Listening || entry->stage == Stage::Reading || entry->stage == Stage::Held)
                static_cast<ServerConnection*>(entry)->Cancel(ERROR_OPERATION_ABORTED);
        }
    }
    if (done)
        SetEvent(done_.get());
}

bool ServerLoop::Wait(DWORD timeoutMs)
{
    if (WaitForSingleObject(done_.get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    // Every connection is freed; what may still run is the loop's own callbacks, the last freeing's tail
    // among them. The group waits for them, then releases its members: their holders only let go.
    ExclusiveLock guard(waitLock_);
    if (!closed_) {
        CloseThreadpoolCleanupGroupMembers(group_.get(), FALSE, nullptr);
        static_cast<void>(pause_.release());
        static_cast<void>(more_.release());
        static_cast<void>(freeing_.release());
        closed_ = true;
    }
    return true;
}

UniqueFile ServerLoop::CreateInstance(bool first, DWORD& error) const
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security_ ? security_.get() : descriptor_.get(),
                                      options_.inheritable ? TRUE : FALSE};
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                           (first && options_.firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                           (options_.rejectRemoteClients ? PIPE_REJECT_REMOTE_CLIENTS : 0);
    UniqueFile instance(CreateNamedPipeW(path_.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
                                         kPipeBufferSize, 0, &attributes));
    error = instance ? ERROR_SUCCESS : GetLastError();
    return instance;
}

std::unique_ptr<ServerConnection> ServerLoop::MakeConnection(UniqueFile instance, DWORD& error)
{
    try {
        return std::make_unique<ServerConnection>(*this, std::move(instance), ioEnvironment_.get(),
                                                  handlerEnvironment_.get());
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } catch (const wexception<std::runtime_error>& failure) {
        error = failure.error_code();
    }
    return nullptr;
}

void ServerLoop::Notify(const ServerEvent& event) const noexcept
{
    if (!observer_)
        return;
    try {
        observer_(event);
    } catch (...) {
        // Dropped: the observer only watches, and what it fails at must not cost a client its answer.
    }
}

VOID CALLBACK ServerLoop::OnPauseOver(PTP_CALLBACK_INSTANCE, void* loop, PTP_TIMER)
{
    ServerLoop& self = *static_cast<ServerLoop*>(loop);
    {
        ExclusiveLock guard(self.state_.Lock());
        self.state_.EndPause();
    }
    self.KeepListening();
}

VOID CALLBACK ServerLoop::OnMore(PTP_CALLBACK_INSTANCE, void* loop, PTP_WORK)
{
    ServerLoop& self = *static_cast<ServerLoop*>(loop);
    self.KeepListening();
    ServerConnection* early = nullptr;
    {
        ExclusiveLock guard(self.state_.Lock());
        std::swap(early, self.early_);
    }
    if (early != nullptr)
        self.BeginRequest(*early);
}

VOID CALLBACK ServerLoop::OnEnded(PTP_CALLBACK_INSTANCE, void* loop, PTP_WORK)
{
    ServerLoop& self = *static_cast<ServerLoop*>(loop);
    ConnectionEntry* ended = nullptr;
    {
        ExclusiveLock guard(self.state_.Lock());
        ended = self.state_.TakeEnded();
    }
    // Freeing a connection waits for its callbacks, the one that ended it among them: never under the lock,
    // which they may still take.
    int freed = 0;
    while (ended != nullptr) {
        ConnectionEntry* const next = ended->next;
        delete static_cast<ServerConnection*>(ended);
        ended = next;
        ++freed;
    }
    bool done = false;
    {
        ExclusiveLock guard(self.state_.Lock());
        done = self.state_.Freed(freed);
    }
    if (done) {
        SetEvent(self.done_.get());
        return;
    }
    self.KeepListening(); // the places they held listen again
}

} // namespace IPC
