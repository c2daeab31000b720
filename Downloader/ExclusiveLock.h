// Holds an SRW lock exclusively for a scope.
#pragma once

#include <windows.h>

namespace IPC {

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    // Sleeps on the condition, the lock released meanwhile and held again on waking.
    void Sleep(CONDITION_VARIABLE& condition) noexcept { SleepConditionVariableSRW(&condition, &lock_, INFINITE, 0); }

private:
    SRWLOCK& lock_;
};

} // namespace IPC
