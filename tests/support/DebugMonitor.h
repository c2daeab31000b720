// What programs send to a debugger's output (OutputDebugString), collected without being their
// debugger, the way a debug viewer does: the system hands each line to whoever holds the DBWIN buffer.
// A debugger would change what it watches: a fault would reach the debugger instead of the program's
// own filter.
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
    // The one monitor of the test process; there can be only one holder of the buffer at a time.
    static DebugMonitor& Instance();

    DebugMonitor(const DebugMonitor&) = delete;
    DebugMonitor& operator=(const DebugMonitor&) = delete;

    // The lines the process has sent, without their line feeds, once every line sent before this call
    // has arrived.
    std::vector<std::wstring> LinesOf(DWORD processId);

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
    std::thread collector_;
};
