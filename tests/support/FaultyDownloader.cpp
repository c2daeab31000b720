#include "FaultyDownloader.h"

#include <sddl.h>

#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "PipeServer.h"
#include "ProcessIdentity.h"

namespace {

// The whole next message; false when the client left first.
bool ReadMessage(HANDLE pipe, std::string& message)
{
    char chunk[1024];
    for (;;) {
        DWORD read = 0;
        const BOOL whole = ReadFile(pipe, chunk, sizeof chunk, &read, nullptr);
        message.append(chunk, read);
        if (whole)
            return true;
        if (GetLastError() != ERROR_MORE_DATA)
            return false;
    }
}

LocalPtr<void> ElevatedDescriptor()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (AboveASetup(OwnIdentity()))
        ConvertStringSecurityDescriptorToSecurityDescriptorW(IPC::ElevatedServerSddl().c_str(), SDDL_REVISION_1,
                                                             &descriptor, nullptr);
    return LocalPtr<void>(descriptor);
}

} // namespace

FaultyDownloader::FaultyDownloader(std::wstring name, Fault fault, DWORD slowMs)
    : name_(std::move(name)), fault_(fault), slowMs_(slowMs), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      descriptor_(ElevatedDescriptor()), first_(NewInstance())
{
    // The one that drops a process's clients has instances enough for a burst, so that only its limit
    // loses a client (the others have one listening at a time, which a burst of four meets in time).
    for (int i = fault_ == Fault::FewPerProcess ? 8 : 1; i > 0; --i)
        listeners_.emplace_back(CreateThread(nullptr, 0, ListenMain, this, CREATE_SUSPENDED, nullptr));
    // Started only once all are there: a client's fault may end them all.
    for (const UniqueHandle& listener : listeners_)
        ResumeThread(listener.get());
}

FaultyDownloader::~FaultyDownloader()
{
    EndListener();
    for (std::thread& session : sessions_)
        session.join();
}

DWORD WINAPI FaultyDownloader::ListenMain(void* self)
{
    static_cast<FaultyDownloader*>(self)->Listen();
    return 0;
}

void FaultyDownloader::EndListener()
{
    SetEvent(stop_.get());
    for (const UniqueHandle& listener : listeners_) {
        while (WaitForSingleObject(listener.get(), 10) == WAIT_TIMEOUT)
            CancelSynchronousIo(listener.get());
    }
}

UniqueFile FaultyDownloader::NewInstance() const
{
    const DWORD mode = fault_ == Fault::ByteMode ? PIPE_TYPE_BYTE : PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE;
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor_.get(), FALSE};
    return UniqueFile(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, mode | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                       1024, 1024, 0, &security));
}

void FaultyDownloader::Listen()
{
    UniqueFile next;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        next = std::move(first_);
    }
    if (!next)
        next = NewInstance();
    for (unsigned client = 0; next && !Stopped();) {
        UniqueFile current = std::move(next);
        const DWORD error = ConnectNamedPipe(current.get(), nullptr) ? ERROR_SUCCESS : GetLastError();
        if (Stopped())
            break;
        // A client that came and went before the wait (ERROR_NO_DATA) is a client too: its read finds it gone.
        // Any other failure is this instance's own, and the listener goes on.
        const bool came = error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
        if (!came || fault_ != Fault::NoInstanceWhileServing)
            next = NewInstance(); // before this one closes: the name keeps an instance
        if (!came)
            continue;
        ++client;
        if (fault_ == Fault::NoInstanceWhileServing) {
            // The name has no instance from the end of this client until well after a client's next attempt.
            Serve(std::move(current), client, std::nullopt);
            Sleep(3 * kRetryPauseMs);
            next = NewInstance();
            continue;
        }
        std::optional<std::string> request;
        if (fault_ == Fault::StopsAtLook || fault_ == Fault::ReadsInTurn) {
            // Each request read in turn: it has ended before a client that came later is answered.
            request.emplace();
            const bool read = ReadMessage(current.get(), *request);
            if (!read && fault_ == Fault::StopsAtLook) {
                SetEvent(stop_.get());
                break;
            }
            if (!read)
                continue; // a look, or a client that left: nothing to serve
        }
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.emplace_back([this, client, pipe = std::move(current), request = std::move(request)]() mutable {
            Serve(std::move(pipe), client, std::move(request));
        });
    }
}

void FaultyDownloader::Serve(UniqueFile pipe, unsigned client, std::optional<std::string> request)
{
    ULONG process = 0;
    if (fault_ == Fault::FewPerProcess) {
        GetNamedPipeClientProcessId(pipe.get(), &process);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (held_[process] == 2)
            return;
        ++held_[process];
    }
    const auto release = [&] {
        if (fault_ != Fault::FewPerProcess)
            return;
        const std::lock_guard<std::mutex> lock(mutex_);
        --held_[process];
    };
    if (fault_ == Fault::FewPerProcess)
        Sleep(slowMs_ / 3);
    if (!request && !ReadMessage(pipe.get(), request.emplace()))
        return release();
    // Ending, it closes its instances before this client learns anything.
    if (fault_ == Fault::EndsOnUnexpected && *request != CompletionRequestBytes() && !request->empty() &&
        request->size() <= 1024) {
        EndListener();
        return;
    }
    if (fault_ == Fault::FirstClientOnly && client > 1)
        return;
    if (fault_ == Fault::SlowReply && client == 1 && WaitForSingleObject(stop_.get(), slowMs_) != WAIT_TIMEOUT)
        return;
    const bool truthful = *request == CompletionRequestBytes() || fault_ == Fault::TrueToAnything;
    const char reply[] = {5, 0, 0, 0, fault_ == Fault::AnswersFalse || !truthful ? '\0' : '\1'};
    DWORD written = 0;
    for (int copies = fault_ == Fault::TwoReplies ? 2 : 1; copies > 0; --copies)
        WriteFile(pipe.get(), reply, sizeof reply, &written, nullptr);
    // Closing drops what the client has not read yet; so does a disconnect, at once: a moment after the
    // write, which a client that reads at once takes in time.
    if (fault_ == Fault::DisconnectsAfterReply && WaitForSingleObject(stop_.get(), slowMs_ / 6) == WAIT_TIMEOUT)
        DisconnectNamedPipe(pipe.get());
    FlushFileBuffers(pipe.get());
    release();
}
