// A client of the downloader's pipe for the checks: opened as Tessaline opens it, with Tessaline's retry,
// but for overlapped I/O, so that every wait for an answer has a limit.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "Handles.h"

struct Answer {
    DWORD error = ERROR_SUCCESS; // ERROR_SUCCESS: a message came; ERROR_TIMEOUT, ERROR_BROKEN_PIPE, ...
    std::string bytes;
    DWORD milliseconds = 0; // from the end of the send
};

class ProbeClient {
public:
    // Tessaline's open: GENERIC_READ | GENERIC_WRITE, identification only, one wait of up to 3 s for a busy
    // pipe, then the switch to message mode; one attempt at once and up to ten more, 500 ms apart.
    // `attempts` or fewer; a missing pipe on any attempt is counted in `missing`.
    explicit ProbeClient(const std::wstring& name, unsigned attempts = 11);

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
    UniqueHandle event_;
    DWORD openError_ = ERROR_SUCCESS;
    unsigned missing_ = 0;
};
