// Single-owner holders for Windows resources.
#pragma once

#include <windows.h>

#include <memory>

// Owns a kernel handle; NULL and INVALID_HANDLE_VALUE both mean "none".
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return valid(); }

    HANDLE release() noexcept
    {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

    void reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept
    {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

    // For APIs that return a handle through an out parameter.
    HANDLE* receive() noexcept
    {
        reset(nullptr);
        return &handle_;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

struct LocalFreeDeleter {
    void operator()(void* block) const noexcept { LocalFree(block); }
};

struct ProcessHeapDeleter {
    void operator()(void* block) const noexcept { HeapFree(GetProcessHeap(), 0, block); }
};

struct RegCloseKeyDeleter {
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};

// An open registry key.
using UniqueKey = std::unique_ptr<HKEY__, RegCloseKeyDeleter>;

// Memory that an API allocated with LocalAlloc (SIDs from ConvertStringSidToSidW, ACLs from SetEntriesInAclW).
template <typename T> using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

// A block from HeapAlloc on the process heap.
template <typename T> using ProcessHeapPtr = std::unique_ptr<T, ProcessHeapDeleter>;
