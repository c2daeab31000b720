#include "OverlappedIo.h"

#include "WException.h"

namespace IPC {

UniqueHandle NewEvent(bool manualReset)
{
    UniqueHandle event(CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
    if (!event) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"Unable to create an event", error), error);
    }
    return event;
}

DWORD Deadline::RemainingMs() const noexcept
{
    if (limit_ == INFINITE)
        return INFINITE;
    // Unsigned arithmetic carries the difference across the tick count's wrap.
    const DWORD elapsed = GetTickCount() - start_;
    return elapsed >= limit_ ? 0 : limit_ - elapsed;
}

OverlappedIo::OverlappedIo() : event_(NewEvent()) {}

OVERLAPPED* OverlappedIo::Begin() noexcept
{
    ResetEvent(event_.get());
    overlapped_ = OVERLAPPED();
    overlapped_.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event_.get()) | 1);
    return &overlapped_;
}

DWORD OverlappedIo::Result(HANDLE file, DWORD& bytes) noexcept
{
    return GetOverlappedResult(file, &overlapped_, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
}

DWORD OverlappedIo::Finish(HANDLE file, BOOL started, DWORD& bytes, DWORD timeoutMs, HANDLE stop) noexcept
{
    bytes = 0;
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
        return error;
    if (error != ERROR_IO_PENDING)
        return Result(file, bytes);
    const HANDLE events[] = {event_.get(), stop};
    const DWORD woken = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, timeoutMs);
    if (woken != WAIT_OBJECT_0) {
        Cancel(file);
        return woken == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
    }
    return Result(file, bytes);
}

void OverlappedIo::Cancel(HANDLE file) noexcept
{
    CancelIoEx(file, &overlapped_);
    // The event itself: the OVERLAPPED holds it with its low bit set.
    WaitForSingleObject(event_.get(), INFINITE);
}

} // namespace IPC
