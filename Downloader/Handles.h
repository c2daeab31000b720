// Single-owner holders for Windows resources: one type per kind of resource, each with the one value that
// its API gives for "none", so that a holder never has to guess between two.
#pragma once

#include <windows.h>

#include <memory>

// The pipe code uses Vista's pipe, thread-pool and lock calls: a build for an older Windows would meet
// missing names, far from the reason.
#if defined(_WIN32_WINNT) && _WIN32_WINNT < 0x0600
#error "The Tessaline pipe code needs _WIN32_WINNT 0x0600 (Vista) or later"
#endif

// Owns one resource of the kind that Traits describes: its type, the value that means none, and how to
// close it. Moves hand the resource on; nothing copies it.
template <typename Traits> class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type resource) noexcept : resource_(resource) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : resource_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    [[nodiscard]] Type get() const noexcept { return resource_; }
    explicit operator bool() const noexcept { return resource_ != Traits::None(); }

    // Hands the resource to the caller, who closes it from then on.
    [[nodiscard]] Type release() noexcept
    {
        const Type resource = resource_;
        resource_ = Traits::None();
        return resource;
    }

    // Closes the resource held and holds the new one. Taking the one already held changes nothing:
    // closing it would leave the holder with a closed handle. The thread's last-error code survives the
    // close, so a holder may go out of scope between a failed call and the read of its code.
    void reset(Type resource = Traits::None()) noexcept
    {
        if (resource == resource_)
            return;
        const Type old = resource_;
        resource_ = resource;
        if (old != Traits::None()) {
            const DWORD lastError = GetLastError();
            Traits::Close(old);
            SetLastError(lastError);
        }
    }

    // For APIs that return the resource through an out parameter: closes the one held first.
    Type* receive() noexcept
    {
        reset();
        return &resource_;
    }

private:
    Type resource_ = Traits::None();
};

// Kernel objects whose API gives NULL for none: processes, threads, tokens, events, jobs, mappings.
struct KernelHandleTraits {
    using Type = HANDLE;
    static HANDLE None() noexcept { return nullptr; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

// Files and pipe ends, whose API (CreateFileW, CreateNamedPipeW) gives INVALID_HANDLE_VALUE for none.
struct FileHandleTraits {
    using Type = HANDLE;
    static HANDLE None() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) noexcept { CloseHandle(handle); }
};

// Registry keys that this process opened or created; never a predefined key such as HKEY_CURRENT_USER.
struct RegistryKeyTraits {
    using Type = HKEY;
    static HKEY None() noexcept { return nullptr; }
    static void Close(HKEY key) noexcept { RegCloseKey(key); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueKey = UniqueResource<RegistryKeyTraits>;

struct LocalFreeDeleter {
    void operator()(void* block) const noexcept { LocalFree(block); }
};

struct ProcessHeapDeleter {
    void operator()(void* block) const noexcept { HeapFree(GetProcessHeap(), 0, block); }
};

// Memory that an API allocated with LocalAlloc (SIDs from ConvertStringSidToSidW, ACLs from SetEntriesInAclW).
template <typename T> using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

// A block from HeapAlloc on the process heap.
template <typename T> using ProcessHeapPtr = std::unique_ptr<T, ProcessHeapDeleter>;
