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

DWORD HandleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (i != 0)
            text.push_back(' ');
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0xF]);
    }
    return text;
}
