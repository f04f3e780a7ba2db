// A recursive lock over a critical section (a thread may re-enter a lock it holds), and its scoped
// holder. Locks are only ever taken through ScopedLock, so no path can leave one held.
#pragma once

#include "common/Win32.h"

class RecursiveLock {
public:
    RecursiveLock() noexcept { ::InitializeCriticalSection(&section_); }
    ~RecursiveLock() { ::DeleteCriticalSection(&section_); }
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Lock() noexcept { ::EnterCriticalSection(&section_); }
    void Unlock() noexcept { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class ScopedLock {
public:
    explicit ScopedLock(RecursiveLock& lock) noexcept : lock_(lock) { lock_.Lock(); }
    ~ScopedLock() { lock_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    RecursiveLock& lock_;
};
