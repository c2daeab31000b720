#include "ProbeClient.h"

#include "WException.h"

namespace {

const DWORD kBusyWaitMs = 3000;
const DWORD kRetryPauseMs = 500;
const DWORD kLongestAnswer = 1 << 20;

} // namespace

ProbeClient::ProbeClient(const std::wstring& name, unsigned attempts)
    : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!event_) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create an event", error), error);
    }
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
        if (!WaitNamedPipeW(name.c_str(), kBusyWaitMs))
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
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_.get();
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        return GetLastError();
    // A message larger than the server's buffer waits until the server reads it.
    if (WaitForSingleObject(event_.get(), kBusyWaitMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_.get(), &overlapped);
        GetOverlappedResult(pipe_.get(), &overlapped, &written, TRUE);
        return ERROR_TIMEOUT;
    }
    return GetOverlappedResult(pipe_.get(), &overlapped, &written, FALSE) ? ERROR_SUCCESS : GetLastError();
}

Answer ProbeClient::Receive(DWORD timeoutMs)
{
    Answer answer;
    const DWORD start = GetTickCount();
    std::string chunk(1024, '\0');
    for (DWORD error = ERROR_MORE_DATA; error == ERROR_MORE_DATA && answer.bytes.size() < kLongestAnswer;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event_.get();
        DWORD read = 0;
        if (!ReadFile(pipe_.get(), &chunk[0], static_cast<DWORD>(chunk.size()), nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
            answer.error = GetLastError();
            break;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (WaitForSingleObject(event_.get(), elapsed >= timeoutMs ? 0 : timeoutMs - elapsed) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_.get(), &overlapped);
            GetOverlappedResult(pipe_.get(), &overlapped, &read, TRUE);
            answer.error = ERROR_TIMEOUT;
            break;
        }
        error = GetOverlappedResult(pipe_.get(), &overlapped, &read, FALSE) ? ERROR_SUCCESS : GetLastError();
        answer.bytes.append(chunk.data(), read);
        answer.error = error;
    }
    answer.milliseconds = GetTickCount() - start;
    return answer;
}
