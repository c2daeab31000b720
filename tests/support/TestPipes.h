// Real pipes for tests: unique names, endpoints served on threads, and a server that counts attempts.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Hex.h"
#include "Pipe.h"

// A pipe name no other test uses.
std::wstring UniquePipeName(const std::wstring& purpose);

// Runs fn on a new thread and hands back its result (or exception) through the future.
template <typename F> auto OnThread(F fn) -> std::future<decltype(fn())>
{
    return std::async(std::launch::async, std::move(fn));
}

// Sends the Integer from one end and returns what the other end read: proves that the two are connected.
std::int32_t Relay(IPC::Pipe& from, IPC::Pipe& to, std::int32_t value);

// Waits until a server instance of the name is listening.
bool WaitUntilListening(const std::wstring& name, DWORD timeoutMs = 5000);

// Serves the name with instances that a client can open but not use: they are byte pipes, so the
// client's switch to message mode fails ("SetNamedPipeHandleState failed") and the attempt is lost.
// Records when each attempt came, for the first `limit` attempts; after those the name has no instance.
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
    bool WaitForAttempts(std::size_t count, DWORD timeoutMs);

private:
    void Serve();

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

// The connection retry's pause, and what a pause may be off by on a busy machine: a pause more or less
// shows as a gap of twice the pause or of none.
const DWORD kRetryPauseMs = 500;
const DWORD kRetryJitterMs = 150;

// The retry's whole course, as a server saw it: eleven attempts, one pause apart.
::testing::AssertionResult ElevenAttemptsOnePauseApart(const std::vector<DWORD>& attempts);

// A byte string from small numbers: Bytes({5, 0, 0, 0, 1}).
inline std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}
