// Single-owner holders for the system thread pool's objects. Releasing one that runs callbacks first waits
// for them, so that nothing a callback uses can go while it runs. A callback must therefore never release
// its own object: it would wait for itself.
#pragma once

#include <windows.h>

#include "Handles.h"

struct ThreadpoolTraits {
    using Type = PTP_POOL;
    static PTP_POOL None() noexcept { return nullptr; }
    static void Close(PTP_POOL pool) noexcept { CloseThreadpool(pool); }
};

struct CleanupGroupTraits {
    using Type = PTP_CLEANUP_GROUP;
    static PTP_CLEANUP_GROUP None() noexcept { return nullptr; }
    static void Close(PTP_CLEANUP_GROUP group) noexcept { CloseThreadpoolCleanupGroup(group); }
};

// The handle it is bound to must have no overlapped operation left: each one that started queues a callback.
struct ThreadpoolIoTraits {
    using Type = PTP_IO;
    static PTP_IO None() noexcept { return nullptr; }
    static void Close(PTP_IO io) noexcept
    {
        WaitForThreadpoolIoCallbacks(io, FALSE);
        CloseThreadpoolIo(io);
    }
};

// Disarmed first, so that it cannot fire again; a callback due but not yet started is cancelled.
struct ThreadpoolTimerTraits {
    using Type = PTP_TIMER;
    static PTP_TIMER None() noexcept { return nullptr; }
    static void Close(PTP_TIMER timer) noexcept
    {
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
        CloseThreadpoolTimer(timer);
    }
};

struct ThreadpoolWorkTraits {
    using Type = PTP_WORK;
    static PTP_WORK None() noexcept { return nullptr; }
    static void Close(PTP_WORK work) noexcept
    {
        WaitForThreadpoolWorkCallbacks(work, FALSE);
        CloseThreadpoolWork(work);
    }
};

using UniqueThreadpool = UniqueResource<ThreadpoolTraits>;
using UniqueCleanupGroup = UniqueResource<CleanupGroupTraits>;
using UniqueThreadpoolIo = UniqueResource<ThreadpoolIoTraits>;
using UniqueThreadpoolTimer = UniqueResource<ThreadpoolTimerTraits>;
using UniqueThreadpoolWork = UniqueResource<ThreadpoolWorkTraits>;

// A callback environment: the pool its objects' callbacks run on and the cleanup group they belong to.
class CallbackEnvironment {
public:
    CallbackEnvironment(PTP_POOL pool, PTP_CLEANUP_GROUP group, bool callbacksRunLong) noexcept
    {
        InitializeThreadpoolEnvironment(&environment_);
        SetThreadpoolCallbackPool(&environment_, pool);
        SetThreadpoolCallbackCleanupGroup(&environment_, group, nullptr);
        if (callbacksRunLong)
            SetThreadpoolCallbackRunsLong(&environment_);
    }
    ~CallbackEnvironment() { DestroyThreadpoolEnvironment(&environment_); }
    CallbackEnvironment(const CallbackEnvironment&) = delete;
    CallbackEnvironment& operator=(const CallbackEnvironment&) = delete;

    PTP_CALLBACK_ENVIRON get() noexcept { return &environment_; }

private:
    TP_CALLBACK_ENVIRON environment_;
};

// Arms a timer to fire `milliseconds` from now, and then every `periodMs` (0: once). SetThreadpoolTimer
// cannot fail; arming an armed timer starts it anew.
inline void ArmTimer(PTP_TIMER timer, DWORD milliseconds, DWORD periodMs = 0) noexcept
{
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(milliseconds) * 10000); // relative, in 100 ns
    FILETIME dueTime = {due.LowPart, due.HighPart};
    SetThreadpoolTimer(timer, &dueTime, periodMs, 0);
}
