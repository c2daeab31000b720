#include "AttemptRecorder.h"

#include <algorithm>

AttemptRecorder::AttemptRecorder(std::wstring name, std::size_t limit)
    : name_(std::move(name)), limit_(limit), server_([this] { Serve(); })
{
    listening_.get_future().wait();
}

AttemptRecorder::~AttemptRecorder() { Stop(); }

void AttemptRecorder::Stop()
{
    stopping_ = true;
    // The server may be between two waits: cancel until it has seen the flag.
    while (!done_) {
        CancelSynchronousIo(serverThread_.get());
        Sleep(5);
    }
    if (server_.joinable())
        server_.join();
}

UniqueFile AttemptRecorder::NewInstance() const
{
    return UniqueFile(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, nullptr));
}

void AttemptRecorder::Serve()
{
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    serverThread_.reset(self);
    UniqueFile instance = NewInstance();
    listening_.set_value();
    for (std::size_t served = 0; instance && served < limit_ && !stopping_; ++served) {
        // A client that came, and perhaps went, before the wait began made an attempt too; any other
        // failure is the cancelled wait.
        const DWORD error = ConnectNamedPipe(instance.get(), nullptr) ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA)
            break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            attempts_.push_back(GetTickCount());
            attempted_.notify_all();
        }
        // The client has given up this attempt by then or does so now; its instance goes only once the
        // next one is there.
        instance = served + 1 < limit_ ? NewInstance() : UniqueFile();
    }
    done_ = true;
}

std::vector<DWORD> AttemptRecorder::Attempts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_;
}

bool AttemptRecorder::WaitForAttempts(std::size_t count, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return attempted_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return attempts_.size() >= count; });
}

DWORD RetryJitterMs() { return Scaled(150); }

::testing::AssertionResult NoInstanceOf(const std::wstring& name)
{
    if (!WaitNamedPipeW(name.c_str(), 1) && GetLastError() == ERROR_FILE_NOT_FOUND)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "an instance of the pipe is left over: a holder did not close it?";
}

::testing::AssertionResult ElevenAttemptsOnePauseApart(const std::vector<DWORD>& attempts)
{
    std::vector<DWORD> gaps;
    for (std::size_t i = 1; i < attempts.size(); ++i)
        gaps.push_back(attempts[i] - attempts[i - 1]);
    const DWORD jitter = RetryJitterMs();
    const auto offPause = [jitter](DWORD gap) {
        return gap + jitter < kExpectedPauseMs || gap > kExpectedPauseMs + jitter;
    };
    if (attempts.size() != 11 || std::any_of(gaps.begin(), gaps.end(), offPause))
        return ::testing::AssertionFailure()
               << attempts.size() << " attempts, apart by (ms) " << ::testing::PrintToString(gaps);
    return ::testing::AssertionSuccess();
}
