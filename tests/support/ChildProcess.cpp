#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "DebugMonitor.h"
#include "RunToEnd.h"

namespace {

// The job of every child: closed with the test program's last handle, when the program ends in any
// way, a watchdog's end included, and it ends whatever still runs in it.
HANDLE ChildJob()
{
    static const UniqueHandle job = [] {
        DWORD error = ERROR_SUCCESS;
        UniqueHandle created = KillOnCloseJob(error);
        if (!created)
            throw std::runtime_error("cannot make the children's kill-on-close job (error " + std::to_string(error) +
                                     ")");
        return created;
    }();
    return job.get();
}

} // namespace

BackgroundProcess::BackgroundProcess(const std::wstring& program, const std::wstring& arguments, HANDLE token)
{
    // Started before the child, so that none of its lines is sent while nobody listens.
    DebugMonitor::Instance();

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outputRead = nullptr;
    HANDLE outputWrite = nullptr;
    if (!CreatePipe(&outputRead, &outputWrite, &inherit, 1 << 20))
        throw std::runtime_error("CreatePipe failed");
    outputRead_.reset(outputRead);
    UniqueHandle writeEnd(outputWrite);
    SetHandleInformation(outputRead_.get(), HANDLE_FLAG_INHERIT, 0);
    UniqueFile nul(
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

    // The child inherits its standard handles and nothing else: an inheritable server end of a test's
    // pipe would otherwise keep that pipe open in the child after the test closed it.
    HANDLE inherited[] = {nul.get(), writeEnd.get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size) ||
        !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                                   nullptr))
        throw std::runtime_error("cannot list the handles to inherit");

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nul.get();
    startup.StartupInfo.hStdOutput = writeEnd.get();
    startup.StartupInfo.hStdError = writeEnd.get();
    startup.lpAttributeList = list;

    const std::wstring path = ProgramFolder() + program;
    std::wstring commandLine = QuoteArgument(path);
    if (!arguments.empty())
        commandLine += L" " + arguments;
    PROCESS_INFORMATION info = {};
    // Suspended until it is in the job, so that nothing of it runs outside. Wine's loader now and then
    // ends a new process before it has set itself up (seen once in a CI run, for a 64-bit child), and
    // CreateProcessW then fails with ERROR_INTERNAL_ERROR, before any of the program has run: that alone
    // is tried again, a few times.
    BOOL created = FALSE;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 3 && !created; ++attempt) {
        start_ = GetTickCount();
        // Not GoogleTest's error mode, which shuts out the dialogs that the process guard must shut out.
        const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED | CREATE_DEFAULT_ERROR_MODE;
        created = token != nullptr ? CreateProcessAsUserW(token, path.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                                          flags, nullptr, nullptr, &startup.StartupInfo, &info)
                                   : CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags,
                                                    nullptr, nullptr, &startup.StartupInfo, &info);
        error = created ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_INTERNAL_ERROR || !RunningUnderWine())
            break;
    }
    DeleteProcThreadAttributeList(list);
    if (!created)
        throw std::runtime_error("CreateProcessW failed with error " + std::to_string(error));
    const UniqueHandle thread(info.hThread);
    process_.reset(info.hProcess);
    processId_ = info.dwProcessId;
    if (!AssignProcessToJobObject(ChildJob(), process_.get())) {
        TerminateProcess(process_.get(), 1);
        throw std::runtime_error("cannot put the child into the job");
    }
    ResumeThread(thread.get());
}

BackgroundProcess::~BackgroundProcess()
{
    End();
    // Its lines go with it: a later process may get the same id.
    if (!waited_)
        TakeDebugLines();
}

std::vector<std::wstring> BackgroundProcess::TakeDebugLines() const
{
    std::vector<std::wstring> lines;
    if (!DebugMonitor::Instance().TakeLinesOf(processId_, InnerLimitMs(), lines))
        ADD_FAILURE() << "the debug monitor could not tell that every line has come; the lines of process "
                      << processId_ << " may be incomplete";
    return lines;
}

void BackgroundProcess::End()
{
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), INFINITE);
    }
}

void BackgroundProcess::Drain()
{
    DWORD available = 0;
    while (PeekNamedPipe(outputRead_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!ReadFile(outputRead_.get(), &chunk[0], available, &read, nullptr))
            return;
        output_.append(chunk.data(), read);
    }
}

bool BackgroundProcess::WaitForOutput(const std::string& text, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (Drain(); output_.find(text) == std::string::npos; Drain()) {
        // A program that has ended writes nothing more: what it did write is all there is.
        const bool ended = WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
        if (ended || GetTickCount() - start > timeoutMs) {
            Drain();
            return output_.find(text) != std::string::npos;
        }
        Sleep(20);
    }
    return true;
}

ChildResult BackgroundProcess::Wait(DWORD timeoutMs)
{
    ChildResult result;
    const DWORD start = GetTickCount();
    // Keep draining, so that a chatty child never blocks on a full pipe.
    while (WaitForSingleObject(process_.get(), 20) == WAIT_TIMEOUT && GetTickCount() - start <= timeoutMs)
        Drain();
    result.finished = WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
    End();
    result.seconds = (GetTickCount() - start_) / 1000.0;
    Drain();
    result.output = output_;
    result.debugLines = TakeDebugLines();
    waited_ = true;
    GetExitCodeProcess(process_.get(), &result.exitCode);
    return result;
}

ChildResult RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs)
{
    BackgroundProcess child(program, arguments);
    return child.Wait(timeoutMs);
}
