// Real pipes for tests: unique names, endpoints served on threads, connected pairs, message bytes.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

#include "Hex.h"
#include "Pipe.h"
#include "Watchdog.h"

// A pipe name no other test uses.
std::wstring UniquePipeName(const std::wstring& purpose);

// Runs fn on a new thread and hands back its result (or exception) through the future.
template <typename F> auto OnThread(F fn) -> std::future<decltype(fn())>
{
    return std::async(std::launch::async, std::move(fn));
}

// Waits until a server instance of the name is listening; false at the time-out, or as soon as
// stillServing, when given, says that the server has stopped trying.
bool WaitUntilListening(const std::wstring& name, const std::function<bool()>& stillServing = nullptr,
                        DWORD timeoutMs = InnerLimitMs());

// Runs the server on a thread, as OnThread does, and returns once an instance of the name is listening. A
// server that ends before it listens (its pipe cannot be made as it must be, say) fails here at once, with
// its own exception: a fault that every server meets fails the first test that starts one, in seconds.
template <typename F> auto ServeOnThread(const std::wstring& name, F serve) -> std::future<decltype(serve())>
{
    auto server = OnThread(std::move(serve));
    const auto running = [&server] { return server.wait_for(std::chrono::seconds(0)) != std::future_status::ready; };
    if (!WaitUntilListening(name, running)) {
        if (!running()) {
            server.get();
            throw std::runtime_error("the server ended before it listened");
        }
        static_cast<void>(IPC::CancelPendingConnect());
        throw std::runtime_error("the server did not come up");
    }
    return server;
}

// A server endpoint of the name, made on a thread, and a client connected to it under clientName (the
// name itself when empty; a server with a grant SID listens under the name with "_EPM").
struct ConnectedPipes {
    std::shared_ptr<IPC::Pipe> server;
    std::shared_ptr<IPC::Pipe> client;
};
ConnectedPipes Connect(const std::wstring& name, const std::wstring& clientName = L"");

// Opens the name as a client the way Tessaline does, trying again for a while when every instance is
// busy; raises the last failure. Counts the attempts that found no instance at all in `missing`.
std::unique_ptr<IPC::Pipe> OpenWhileBusy(const std::wstring& name, std::atomic<int>& missing);

// A client's open of the pipe for reading and writing, without a wait for a busy pipe: the handle, or none
// with the open's error in `error`.
UniqueFile OpenAtOnce(const std::wstring& name, DWORD& error);

// Sends the Integer from one end and returns what the other end read: proves that the two are connected.
std::int32_t Relay(IPC::Pipe& from, IPC::Pipe& to, std::int32_t value);

// A byte string from small numbers: Bytes({5, 0, 0, 0, 1}).
inline std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}
