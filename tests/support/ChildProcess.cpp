#include "ChildProcess.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "Handles.h"

std::wstring ProgramFolder()
{
    std::vector<wchar_t> path(MAX_PATH * 4);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring folder(path.data(), length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::string ReadBesideProgram(const std::wstring& name)
{
    std::ifstream file((ProgramFolder() + name).c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

BackgroundProcess::BackgroundProcess(const std::wstring& program, const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outputRead = nullptr;
    HANDLE outputWrite = nullptr;
    if (!CreatePipe(&outputRead, &outputWrite, &inherit, 1 << 20))
        throw std::runtime_error("CreatePipe failed");
    outputRead_.reset(outputRead);
    UniqueHandle writeEnd(outputWrite);
    SetHandleInformation(outputRead_.get(), HANDLE_FLAG_INHERIT, 0);
    UniqueHandle nul(
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();

    const std::wstring path = ProgramFolder() + program;
    std::wstring commandLine = QuoteArgument(path);
    if (!arguments.empty())
        commandLine += L" " + arguments;
    PROCESS_INFORMATION info = {};
    start_ = GetTickCount();
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        throw std::runtime_error("CreateProcessW failed");
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
}

BackgroundProcess::~BackgroundProcess()
{
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 5000);
    }
}

void BackgroundProcess::Drain(DWORD waitMs)
{
    const DWORD until = GetTickCount() + waitMs;
    for (;;) {
        DWORD available = 0;
        if (PeekNamedPipe(outputRead_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string chunk(available, '\0');
            DWORD read = 0;
            if (ReadFile(outputRead_.get(), &chunk[0], available, &read, nullptr))
                output_.append(chunk.data(), read);
            continue;
        }
        if (static_cast<LONG>(GetTickCount() - until) >= 0)
            return;
        Sleep(10);
    }
}

std::string BackgroundProcess::OutputSoFar()
{
    Drain(0);
    return output_;
}

bool BackgroundProcess::WaitForOutput(const std::string& text, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (OutputSoFar().find(text) == std::string::npos) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

ChildResult BackgroundProcess::Wait(DWORD timeoutMs)
{
    ChildResult result;
    const DWORD start = GetTickCount();
    // Keep draining, so that a chatty child never blocks on a full pipe.
    while (WaitForSingleObject(process_.get(), 20) == WAIT_TIMEOUT) {
        Drain(0);
        if (GetTickCount() - start > timeoutMs)
            break;
    }
    result.finished = WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
    result.seconds = (GetTickCount() - start_) / 1000.0;
    Drain(0);
    result.output = output_;
    GetExitCodeProcess(process_.get(), &result.exitCode);
    return result;
}

ChildResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs)
{
    BackgroundProcess child(program, arguments);
    return child.Wait(timeoutMs);
}

namespace {

std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    const SIZE_T length = info.nDebugStringLength;
    if (info.fUnicode) {
        std::wstring text(length, L'\0');
        SIZE_T read = 0;
        ReadProcessMemory(process, info.lpDebugStringData, &text[0], length * sizeof(wchar_t), &read);
        text.resize(read / sizeof(wchar_t));
        // The line ends at the string's own terminating null.
        const std::size_t end = text.find(L'\0');
        if (end != std::wstring::npos)
            text.resize(end);
        return text;
    }
    std::string text(length, '\0');
    SIZE_T read = 0;
    ReadProcessMemory(process, info.lpDebugStringData, &text[0], length, &read);
    text.resize(read);
    std::wstring wide;
    const int count = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (count > 1) {
        wide.resize(static_cast<std::size_t>(count));
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], count);
        wide.resize(static_cast<std::size_t>(count - 1));
    }
    return wide;
}

} // namespace

ChildResult RunUnderDebugger(const std::wstring& program, const std::wstring& arguments,
                             std::vector<std::wstring>& debugLines, DWORD timeoutMs)
{
    ChildResult result;
    const std::wstring path = ProgramFolder() + program;
    std::wstring commandLine = QuoteArgument(path) + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const DWORD start = GetTickCount();
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &info))
        throw std::runtime_error("CreateProcessW failed");
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);

    // Events of this debuggee only: one that an earlier call gave up on may still report its end here.
    // After the time-out the debuggee is killed and its events are drained up to its exit, so that
    // none of them is left for the next call.
    const DWORD kDrainMs = 10000;
    bool killed = false;
    bool exited = false;
    while (!exited) {
        const DWORD elapsed = GetTickCount() - start;
        const DWORD wait = killed ? kDrainMs : (elapsed < timeoutMs ? timeoutMs - elapsed : 0);
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, wait)) {
            if (killed) {
                DebugActiveProcessStop(info.dwProcessId);
                break;
            }
            TerminateProcess(process.get(), 1);
            killed = true;
            continue;
        }
        const bool ours = event.dwProcessId == info.dwProcessId;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: {
            // The debugger owns the image file handles it is given.
            const UniqueHandle image(event.u.CreateProcessInfo.hFile);
            break;
        }
        case LOAD_DLL_DEBUG_EVENT: {
            const UniqueHandle image(event.u.LoadDll.hFile);
            break;
        }
        case OUTPUT_DEBUG_STRING_EVENT:
            if (ours && !killed)
                debugLines.push_back(ReadDebugString(process.get(), event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            if (ours) {
                exited = true;
                result.finished = !killed;
                result.exitCode = event.u.ExitProcess.dwExitCode;
            }
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    result.seconds = (GetTickCount() - start) / 1000.0;
    return result;
}
