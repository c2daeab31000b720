#include "TestPipes.h"

#include <atomic>

std::wstring UniquePipeName(const std::wstring& purpose)
{
    static std::atomic<unsigned> counter{0};
    return L"\\\\.\\pipe\\tessaline_test_" + purpose + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter);
}

std::future<void> ServeOnce(const std::wstring& name, std::function<void(IPC::Pipe&)> handler)
{
    return OnThread([name, handler]() {
        IPC::Pipe server(name, false);
        handler(server);
    });
}

std::int32_t Relay(IPC::Pipe& from, IPC::Pipe& to, std::int32_t value)
{
    OutputBuffer message;
    message.WriteInteger(value);
    from.Write(message);
    return to.Read().ReadInteger();
}

bool WaitUntilListening(const std::wstring& name, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    // WaitNamedPipeW fails at once with ERROR_FILE_NOT_FOUND while no instance exists.
    while (!WaitNamedPipeW(name.c_str(), 50)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

DWORD ProbeOpenHandles()
{
    // Handle values are table slots (multiples of 4) and freed slots are used again first, so the
    // table ends well before a long run of unused values.
    const ULONG_PTR kEndAfterUnused = 1024;
    DWORD count = 0;
    ULONG_PTR lastUsed = 0;
    for (ULONG_PTR value = 4; value - lastUsed <= kEndAfterUnused * 4; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            lastUsed = value;
        }
    }
    return count;
}

DWORD HandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    return ProbeOpenHandles();
}
