// Overlapped I/O with a limit: one operation at a time on a handle opened for it, waited for until it
// ends, its time runs out or a stop comes, and cancelled so that it has surely ended before it is left.
#pragma once

#include <windows.h>

#include "Handles.h"

namespace IPC {

// A manual-reset (or auto-reset) event, not set; raises wexception when none can be made.
UniqueHandle NewEvent(bool manualReset = true);

// A time limit that runs from its construction, on the tick count; INFINITE never runs out.
class Deadline {
public:
    explicit Deadline(DWORD limitMs) noexcept : start_(GetTickCount()), limit_(limitMs) {}
    // What is left, 0 once the limit has passed.
    DWORD RemainingMs() const noexcept;
    bool Passed() const noexcept { return RemainingMs() == 0; }

private:
    DWORD start_;
    DWORD limit_;
};

class OverlappedIo {
public:
    OverlappedIo(); // raises wexception when no event can be made
    OverlappedIo(const OverlappedIo&) = delete;
    OverlappedIo& operator=(const OverlappedIo&) = delete;

    // A fresh OVERLAPPED for the next operation. Its event carries the low-order bit, so that an operation
    // on a handle bound to a completion port queues no packet there ("GetQueuedCompletionStatus" in
    // Microsoft's documentation): this operation is waited for here, not by the port's reader.
    OVERLAPPED* Begin() noexcept;

    // The outcome of the operation that Begin's OVERLAPPED went to, whose call returned `started`:
    // ERROR_SUCCESS, the operation's own error (ERROR_MORE_DATA for part of a message, with its bytes), or
    // ERROR_TIMEOUT or ERROR_OPERATION_ABORTED when the time ran out or `stop` was set first, which cancel
    // it. An operation that is over at once returns at once, whatever the time and the stop: a caller that
    // loops looks at its own limit on every pass.
    DWORD Finish(HANDLE file, BOOL started, DWORD& bytes, DWORD timeoutMs, HANDLE stop = nullptr) noexcept;

    // Cancels the operation, whose call returned ERROR_IO_PENDING, and waits until it has ended: until then
    // the system may still write to the OVERLAPPED and the buffer.
    void Cancel(HANDLE file) noexcept;

private:
    DWORD Result(HANDLE file, DWORD& bytes) noexcept;

    UniqueHandle event_;
    OVERLAPPED overlapped_ = {};
};

} // namespace IPC
