// The downloader's side of the connection retry: a server that records when each attempt comes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Handles.h"
#include "Watchdog.h"

// Serves the name with instances that a client can open but not use: they are byte pipes, so the
// client's switch to message mode fails ("SetNamedPipeHandleState failed") and the attempt is lost.
// Records when each attempt came, for the first `limit` attempts; after those the name has no instance.
// The next instance is made before the last one goes, so that the name is never without one.
class AttemptRecorder {
public:
    // Returns once the first instance is there.
    explicit AttemptRecorder(std::wstring name, std::size_t limit = 1000);
    ~AttemptRecorder();
    AttemptRecorder(const AttemptRecorder&) = delete;
    AttemptRecorder& operator=(const AttemptRecorder&) = delete;

    // Stops serving; every attempt that came is recorded by then.
    void Stop();
    // GetTickCount() at each attempt so far.
    std::vector<DWORD> Attempts();
    // Waits until `count` attempts have come; false at the time-out.
    [[nodiscard]] bool WaitForAttempts(std::size_t count, DWORD timeoutMs = InnerLimitMs());

private:
    void Serve();
    UniqueFile NewInstance() const;

    const std::wstring name_;
    const std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable attempted_;
    std::vector<DWORD> attempts_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> done_{false};
    UniqueHandle serverThread_; // for cancelling its wait for a client
    std::promise<void> listening_;
    std::thread server_;
};

// The connection retry's pause, and what a gap may be off by on a busy machine, through the time scale:
// a pause more or less still shows, as a gap of twice the pause or of none, while the scale stays below 3.3.
const DWORD kExpectedPauseMs = 500;
DWORD RetryJitterMs();

// No instance of the name is there: an earlier test's server that a holder failed to close would make
// every later client wait for it, so a test that starts with one fails at once, saying so.
::testing::AssertionResult NoInstanceOf(const std::wstring& name);

// The retry's whole course, as a server saw it: eleven attempts, one pause apart.
::testing::AssertionResult ElevenAttemptsOnePauseApart(const std::vector<DWORD>& attempts);
