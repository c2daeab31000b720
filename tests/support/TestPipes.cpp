#include "TestPipes.h"

#include <atomic>
#include <stdexcept>

std::wstring UniquePipeName(const std::wstring& purpose)
{
    static std::atomic<unsigned> counter{0};
    return L"\\\\.\\pipe\\tessaline_test_" + purpose + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter);
}

std::int32_t Relay(IPC::Pipe& from, IPC::Pipe& to, std::int32_t value)
{
    OutputBuffer message;
    message.WriteInteger(value);
    from.Write(message);
    return to.Read().ReadInteger();
}

bool WaitUntilListening(const std::wstring& name, const std::function<bool()>& stillServing, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    // WaitNamedPipeW fails at once with ERROR_FILE_NOT_FOUND while no instance exists.
    while (!WaitNamedPipeW(name.c_str(), 50)) {
        if (GetTickCount() - start > timeoutMs || (stillServing && !stillServing()))
            return false;
        Sleep(10);
    }
    return true;
}

ConnectedPipes Connect(const std::wstring& name, const std::wstring& clientName)
{
    const std::wstring opened = clientName.empty() ? name : clientName;
    auto server = ServeOnThread(opened, [name] { return std::make_shared<IPC::Pipe>(name, false); });
    auto client = std::make_shared<IPC::Pipe>(opened, true);
    return ConnectedPipes{server.get(), client};
}
