// What programs send to a debugger's output (OutputDebugString), collected without being their
// debugger, the way a debug viewer does: the system hands each line to whoever holds the DBWIN buffer.
// A debugger would change what it watches: a fault would reach the debugger instead of the program's
// own filter. The tests read Tessaline's lines with it, and so does the support tool.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Handles.h"

class DebugMonitor {
public:
    // The one monitor of the test process. Raises when another reader holds the buffer: each line goes
    // to one reader only, so two would each miss some.
    static DebugMonitor& Instance();

    DebugMonitor(const DebugMonitor&) = delete;
    DebugMonitor& operator=(const DebugMonitor&) = delete;

    // Takes the lines the process has sent, without their line feeds, once every line sent before this
    // call has arrived; the monitor keeps none of them, so a later process with the same id starts with
    // none. False when it could not tell within the time that they have all arrived: the lines taken
    // may then be incomplete.
    [[nodiscard]] bool TakeLinesOf(DWORD processId, DWORD timeoutMs, std::vector<std::wstring>& lines);

private:
    DebugMonitor();

    void Collect();

    UniqueHandle bufferReady_;
    UniqueHandle dataReady_;
    UniqueHandle buffer_;
    const char* view_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<DWORD, std::vector<std::wstring>> lines_;
    unsigned syncsSeen_ = 0;
    unsigned syncsSent_ = 0;
    bool stopped_ = false; // the collector's wait failed: no line arrives any more
    std::thread collector_;
};
