#include "TestPipes.h"

#include <atomic>
#include <stdexcept>

std::wstring UniquePipeName(const std::wstring& purpose)
{
    static std::atomic<unsigned> counter{0};
    return L"\\\\.\\pipe\\tessaline_test_" + purpose + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter);
}

UniqueFile OpenAtOnce(const std::wstring& name, DWORD& error)
{
    UniqueFile pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    error = pipe ? ERROR_SUCCESS : GetLastError();
    return pipe;
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

std::unique_ptr<IPC::Pipe> OpenWhileBusy(const std::wstring& name, std::atomic<int>& missing)
{
    for (int attempt = 0;; ++attempt) {
        try {
            return std::make_unique<IPC::Pipe>(name, true);
        } catch (const wexception<std::runtime_error>& error) {
            missing += error.error_code() == ERROR_FILE_NOT_FOUND;
            if (attempt == 10)
                throw;
        }
        Sleep(100);
    }
}
