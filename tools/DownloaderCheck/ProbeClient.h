// A client of the downloader's pipe for the checks: opened as Tessaline opens it, with Tessaline's retry,
// but for overlapped I/O, so that every wait for an answer has a limit.
#pragma once

#include <windows.h>

#include <string>

#include "DownloaderConnection.h"
#include "Handles.h"
#include "OverlappedIo.h"

struct Answer {
    DWORD error = ERROR_SUCCESS; // ERROR_SUCCESS: a message came; ERROR_TIMEOUT, ERROR_BROKEN_PIPE, ...
    std::string bytes;
    DWORD milliseconds = 0; // from the end of the send
};

class ProbeClient {
public:
    // Tessaline's open: GENERIC_READ | GENERIC_WRITE, identification only, one wait for a busy pipe, then
    // the switch to message mode; with Tessaline's retry, `attempts` attempts at most. A missing pipe on
    // any attempt is counted in `missing`.
    explicit ProbeClient(const std::wstring& name, unsigned attempts = kOpenAttemptLimit);

    bool Connected() const { return static_cast<bool>(pipe_); }
    DWORD OpenError() const { return openError_; } // the last attempt's, when none connected
    unsigned Missing() const { return missing_; }
    HANDLE Handle() const { return pipe_.get(); }

    // Sends one message; the error, or ERROR_SUCCESS.
    DWORD Send(const std::string& bytes);
    // Waits for the next message, at most timeoutMs.
    Answer Receive(DWORD timeoutMs);
    void Close() { pipe_.reset(); }

private:
    DWORD Attempt(const std::wstring& name);

    UniqueFile pipe_;
    IPC::OverlappedIo io_;
    DWORD openError_ = ERROR_SUCCESS;
    unsigned missing_ = 0;
};
