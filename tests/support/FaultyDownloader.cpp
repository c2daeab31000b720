#include "FaultyDownloader.h"

#include "CompletionNotice.h"

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

} // namespace

FaultyDownloader::FaultyDownloader(std::wstring name, Fault fault, DWORD slowMs)
    : name_(std::move(name)), fault_(fault), slowMs_(slowMs), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      first_(NewInstance()), listener_(CreateThread(nullptr, 0, ListenMain, this, 0, nullptr))
{}

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
    while (WaitForSingleObject(listener_.get(), 10) == WAIT_TIMEOUT)
        CancelSynchronousIo(listener_.get());
}

UniqueFile FaultyDownloader::NewInstance() const
{
    const DWORD mode = fault_ == Fault::ByteMode ? PIPE_TYPE_BYTE : PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE;
    return UniqueFile(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, mode | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                       1024, 1024, 0, nullptr));
}

void FaultyDownloader::Listen()
{
    UniqueFile next = std::move(first_);
    for (unsigned client = 1; next && WaitForSingleObject(stop_.get(), 0) == WAIT_TIMEOUT; ++client) {
        UniqueFile current = std::move(next);
        if (!ConnectNamedPipe(current.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            continue; // cancelled by the stop, or a client that came and went
        if (fault_ == Fault::NoInstanceWhileServing) {
            // The name has no instance from the end of this client until a moment after.
            static_cast<void>(Serve(std::move(current), client));
            Sleep(700);
            next = NewInstance();
            continue;
        }
        next = NewInstance();
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.emplace_back(
            [this, client, pipe = std::move(current)]() mutable { static_cast<void>(Serve(std::move(pipe), client)); });
    }
}

bool FaultyDownloader::Serve(UniqueFile pipe, unsigned client)
{
    std::string request;
    const bool read = ReadMessage(pipe.get(), request);
    const bool notice = request == CompletionRequestBytes();
    // Ending, it closes its instances before this client learns anything.
    if ((!read && fault_ == Fault::StopsAtLook) ||
        (fault_ == Fault::EndsOnUnexpected && read && !notice && !request.empty() && request.size() <= 1024)) {
        EndListener();
        return false;
    }
    if (!read)
        return true;
    if (fault_ == Fault::FirstClientOnly && client > 1)
        return true;
    if (fault_ == Fault::SlowReply && client == 1 && WaitForSingleObject(stop_.get(), slowMs_) != WAIT_TIMEOUT)
        return true;
    const char reply[] = {5, 0, 0, 0, fault_ == Fault::AnswersFalse ? '\0' : '\1'};
    DWORD written = 0;
    for (int copies = fault_ == Fault::TwoReplies ? 2 : 1; copies > 0; --copies)
        WriteFile(pipe.get(), reply, sizeof reply, &written, nullptr);
    // Closing drops what the client has not read yet.
    FlushFileBuffers(pipe.get());
    return true;
}
