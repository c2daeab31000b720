// Real pipes for tests: unique names and a server endpoint served on its own thread.
#pragma once

#include <windows.h>

#include <functional>
#include <future>
#include <initializer_list>
#include <memory>
#include <string>

#include "Hex.h"
#include "Pipe.h"

// A pipe name no other test uses.
std::wstring UniquePipeName(const std::wstring& purpose);

// Runs fn on a new thread and hands back its result (or exception) through the future.
template <typename F> auto OnThread(F fn) -> std::future<decltype(fn())>
{
    return std::async(std::launch::async, std::move(fn));
}

// Creates a server endpoint on a thread and runs the handler on it once a client connects.
std::future<void> ServeOnce(const std::wstring& name, std::function<void(IPC::Pipe&)> handler);

// Sends the Integer from one end and returns what the other end read: proves that the two are connected.
std::int32_t Relay(IPC::Pipe& from, IPC::Pipe& to, std::int32_t value);

// Waits until a server instance of the name is listening.
bool WaitUntilListening(const std::wstring& name, DWORD timeoutMs = 5000);

// The process's open handle count (probed where GetProcessHandleCount answers 0, as under Wine).
DWORD HandleCount();

// Counts the open handles by asking for each handle value in turn.
DWORD ProbeOpenHandles();

// A byte string from small numbers: Bytes({5, 0, 0, 0, 1}).
inline std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}
