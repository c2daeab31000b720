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

// One of the named objects that make up the buffer, made by this process and no other.
UniqueHandle CreateOwn(HANDLE created, const char* what)
{
    const DWORD error = GetLastError();
    UniqueHandle object(created);
    if (!object)
        throw std::runtime_error(std::string("cannot make ") + what);
    if (error == ERROR_ALREADY_EXISTS)
        throw std::runtime_error(std::string(what) + " already exists: another debug monitor is running");
    return object;
}

} // namespace

DebugMonitor& DebugMonitor::Instance()
{
    // Never destroyed: its collector runs until the test process ends.
    static DebugMonitor* monitor = new DebugMonitor();
    return *monitor;
}

DebugMonitor::DebugMonitor()
    : bufferReady_(CreateOwn(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"), "DBWIN_BUFFER_READY")),
      dataReady_(CreateOwn(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"), "DBWIN_DATA_READY")),
      buffer_(
          CreateOwn(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize, L"DBWIN_BUFFER"),
                    "DBWIN_BUFFER"))
{
    view_ = static_cast<const char*>(MapViewOfFile(buffer_.get(), FILE_MAP_READ, 0, 0, kBufferSize));
    if (view_ == nullptr)
        throw std::runtime_error("cannot map the DBWIN buffer");
    collector_ = std::thread([this] { Collect(); });
    collector_.detach();
}

void DebugMonitor::Collect()
{
    for (;;) {
        const bool ready =
            SetEvent(bufferReady_.get()) != FALSE && WaitForSingleObject(dataReady_.get(), INFINITE) == WAIT_OBJECT_0;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready) {
            stopped_ = true;
            arrived_.notify_all();
            return;
        }
        DWORD sender = 0;
        std::memcpy(&sender, view_, sizeof sender);
        std::string text(view_ + sizeof sender, strnlen(view_ + sizeof sender, kBufferSize - sizeof sender));
        if (sender == GetCurrentProcessId() && text == kSync)
            ++syncsSeen_;
        else
            lines_[sender].push_back(FromAnsi(text));
        arrived_.notify_all();
    }
}

bool DebugMonitor::TakeLinesOf(DWORD processId, DWORD timeoutMs, std::vector<std::wstring>& lines)
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
    const bool synced = arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return syncsSeen_ >= sync || stopped_;
    }) && !stopped_;
    lines.clear();
    lines.swap(lines_[processId]);
    lines_.erase(processId);
    return synced;
}
