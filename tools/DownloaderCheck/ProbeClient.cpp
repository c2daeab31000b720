#include "ProbeClient.h"

#include "Pipe.h"

namespace {

const std::size_t kLongestAnswer = 1 << 20;

} // namespace

ProbeClient::ProbeClient(const std::wstring& name, unsigned attempts)
{
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0)
            Sleep(kRetryPauseMs);
        openError_ = Attempt(name);
        missing_ += openError_ == ERROR_FILE_NOT_FOUND;
        if (openError_ == ERROR_SUCCESS)
            return;
    }
}

DWORD ProbeClient::Attempt(const std::wstring& name)
{
    // As IPC::Pipe opens a client, with FILE_FLAG_OVERLAPPED besides, which the server cannot see.
    const auto open = [&name] {
        return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    };
    UniqueFile pipe(open());
    if (!pipe && GetLastError() == ERROR_PIPE_BUSY) {
        if (!WaitNamedPipeW(name.c_str(), IPC::kBusyWaitMs))
            return GetLastError();
        pipe.reset(open());
    }
    if (!pipe)
        return GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr))
        return GetLastError();
    pipe_ = std::move(pipe);
    return ERROR_SUCCESS;
}

DWORD ProbeClient::Send(const std::string& bytes)
{
    // A message larger than the server's buffer waits until the server reads it: as long as a busy pipe
    // makes Tessaline wait for an instance.
    DWORD written = 0;
    return io_.Finish(pipe_.get(),
                      WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, io_.Begin()),
                      written, IPC::kBusyWaitMs);
}

Answer ProbeClient::Receive(DWORD timeoutMs)
{
    Answer answer;
    const IPC::Deadline deadline(timeoutMs);
    const DWORD start = GetTickCount();
    char chunk[IPC::kPipeBufferSize];
    answer.error = ERROR_MORE_DATA;
    while (answer.error == ERROR_MORE_DATA && answer.bytes.size() < kLongestAnswer) {
        DWORD read = 0;
        answer.error = io_.Finish(pipe_.get(), ReadFile(pipe_.get(), chunk, sizeof chunk, nullptr, io_.Begin()), read,
                                  deadline.RemainingMs());
        answer.bytes.append(chunk, read);
    }
    answer.milliseconds = GetTickCount() - start;
    return answer;
}
