#include "DebugMonitor.h"

#include <cstring>
#include <stdexcept>

namespace {

// The buffer: the sender's process id, then its text in the ANSI code page, ending in a null.
const DWORD kBufferSize = 4096;
const char kSync[] = "debug monitor sync";

std::wstring FromAnsi(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::wstring wide(text.size(), L'\0');
    const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                          static_cast<int>(wide.size()));
    wide.resize(units > 0 ? static_cast<std::size_t>(units) : 0);
    return wide;
}

} // namespace

DebugMonitor& DebugMonitor::Instance()
{
    // Never destroyed: its collector runs until the test process ends.
    static DebugMonitor* monitor = new DebugMonitor();
    return *monitor;
}

DebugMonitor::DebugMonitor()
    : bufferReady_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")),
      dataReady_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")),
      buffer_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize, L"DBWIN_BUFFER"))
{
    if (!bufferReady_ || !dataReady_ || !buffer_)
        throw std::runtime_error("cannot take the DBWIN buffer");
    view_ = static_cast<const char*>(MapViewOfFile(buffer_.get(), FILE_MAP_READ, 0, 0, kBufferSize));
    if (view_ == nullptr)
        throw std::runtime_error("cannot map the DBWIN buffer");
    collector_ = std::thread([this] { Collect(); });
    collector_.detach();
}

void DebugMonitor::Collect()
{
    for (;;) {
        SetEvent(bufferReady_.get());
        WaitForSingleObject(dataReady_.get(), INFINITE);
        DWORD sender = 0;
        std::memcpy(&sender, view_, sizeof sender);
        std::string text(view_ + sizeof sender, strnlen(view_ + sizeof sender, kBufferSize - sizeof sender));
        std::lock_guard<std::mutex> lock(mutex_);
        if (sender == GetCurrentProcessId() && text == kSync)
            ++syncsSeen_;
        else
            lines_[sender].push_back(FromAnsi(text));
        arrived_.notify_all();
    }
}

std::vector<std::wstring> DebugMonitor::LinesOf(DWORD processId)
{
    // The buffer holds one line at a time and senders queue for it, so once this process's own line
    // has come through, every line sent before it has too.
    unsigned sync = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sync = ++syncsSent_;
    }
    OutputDebugStringA(kSync);
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(30), [&] { return syncsSeen_ >= sync; });
    return lines_[processId];
}
