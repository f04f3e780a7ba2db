#include "tests/watcher/core/CoreTestSupport.h"

#include <new>

namespace core_tests {

int CountProcessHandles() {
    int count = 0;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 0x6000; value += 4) {
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

FaultPlan& Faults() {
    static FaultPlan plan;
    return plan;
}

void DisarmFaults() {
    FaultPlan& plan = Faults();
    plan.failRequestPosts = 0;
    plan.failEndPosts = 0;
    plan.failAssociations = 0;
    plan.failPortCreations = 0;
    plan.failThreadStarts = 0;
    plan.failReads = 0;
    plan.lostRequestPosts = 0;
    plan.silentReads = false;
    plan.failArrayGrowth = 0;
    plan.error = ERROR_NO_SYSTEM_RESOURCES;
    plan.holdFailingRead = false;
    plan.requestPosts = 0;
}

namespace {

// Takes one armed failure, if any.
bool Take(std::atomic<int>& counter) {
    int value = counter.load();
    while (value > 0) {
        if (counter.compare_exchange_weak(value, value - 1))
            return true;
    }
    return false;
}

HANDLE WINAPI FaultyCreatePort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD threads) {
    FaultPlan& plan = Faults();
    if (Take(existing != nullptr ? plan.failAssociations : plan.failPortCreations)) {
        ::SetLastError(plan.error);
        return nullptr;
    }
    return ::CreateIoCompletionPort(file, existing, key, threads);
}

BOOL WINAPI FaultyPost(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
    FaultPlan& plan = Faults();
    if (Take(bytes == 0 ? plan.failEndPosts : plan.failRequestPosts)) {
        ::SetLastError(plan.error);
        return FALSE;
    }
    if (bytes != 0 && Take(plan.lostRequestPosts))
        return TRUE;
    const BOOL posted = ::PostQueuedCompletionStatus(port, bytes, key, overlapped);
    if (bytes != 0) {
        ++plan.requestPosts;
        if (plan.requestPosted != nullptr)
            ::SetEvent(plan.requestPosted);
    }
    return posted;
}

BOOL WINAPI FaultyRead(HANDLE directory, LPVOID buffer, DWORD length, BOOL subtree, DWORD filter,
                       LPDWORD returned, LPOVERLAPPED overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    FaultPlan& plan = Faults();
    if (plan.silentReads)
        return TRUE;
    if (Take(plan.failReads)) {
        if (plan.holdFailingRead) {
            ::SetEvent(plan.readReached);
            ::WaitForSingleObject(plan.requestPosted, 10000);
        }
        // Bits outside FILE_NOTIFY_CHANGE_* make the system itself refuse the read.
        filter |= 0x80000000u;
    }
    return ::ReadDirectoryChangesW(directory, buffer, length, subtree, filter, returned, overlapped, routine);
}

uintptr_t FaultyBeginThread(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                            void* argument, unsigned flags, unsigned* threadId) {
    FaultPlan& plan = Faults();
    if (Take(plan.failThreadStarts)) {
        ::SetLastError(plan.error);
        return 0;
    }
    return DefaultWatcherOsCalls().beginThread(security, stackSize, start, argument, flags, threadId);
}

void FaultyGrow(std::vector<CDirWatchInfo*>& watches) {
    if (Take(Faults().failArrayGrowth))
        throw std::bad_alloc();
    DefaultWatcherOsCalls().growWatchArray(watches);
}

} // namespace

WatcherOsCalls FaultyOsCalls() {
    return WatcherOsCalls{&FaultyCreatePort,  &FaultyPost, &FaultyRead,
                          &FaultyBeginThread, &FaultyGrow, DefaultWatcherOsCalls().cancelIoEx};
}

} // namespace core_tests
