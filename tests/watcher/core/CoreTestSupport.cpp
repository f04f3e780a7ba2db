#include "tests/watcher/core/CoreTestSupport.h"
#include "tests/watcher/delivery/DelayedHandlerTestPeer.h"

#include <winternl.h>

#include <cstdio>
#include <new>

namespace core_tests {

namespace {

using QueryObjectFunction = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

QueryObjectFunction QueryObject() {
    static const auto query = reinterpret_cast<QueryObjectFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    return query;
}

std::wstring TypeOf(HANDLE handle) {
    alignas(8) BYTE buffer[512];
    ULONG length = 0;
    if (QueryObject()(handle, ObjectTypeInformation, buffer, sizeof buffer, &length) < 0)
        return L"?";
    const UNICODE_STRING& name = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer)->TypeName;
    return std::wstring(name.Buffer, name.Length / sizeof(WCHAR));
}

std::string Describe(ULONG_PTR value, const std::wstring& type) {
    char number[24];
    std::snprintf(number, sizeof number, "%#lx ", static_cast<unsigned long>(value));
    return number + std::string(type.begin(), type.end());
}

std::string NewHandles(const HandleTable& before, const HandleTable& now) {
    std::string found;
    for (const auto& [value, type] : now) {
        const auto old = before.find(value);
        if (old == before.end() || old->second != type)
            found += (found.empty() ? "" : ", ") + Describe(value, type);
    }
    return found;
}

} // namespace

HandleTable OpenHandles() {
    HandleTable open;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 0x6000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        if (::GetHandleInformation(handle, &flags))
            open.emplace(value, TypeOf(handle));
    }
    return open;
}

std::string HandlesOpenedSince(const HandleTable& before) {
    std::string found;
    test_support::PumpMessagesUntil([&] {
        found = NewHandles(before, OpenHandles());
        return found.empty();
    });
    return found;
}

HandleWitness::HandleWitness(HANDLE watched) {
    HANDLE own = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), watched, ::GetCurrentProcess(), &own, 0, FALSE,
                          DUPLICATE_SAME_ACCESS))
        own_.reset(own);
}

long HandleWitness::OthersOpen() const {
    PUBLIC_OBJECT_BASIC_INFORMATION info{};
    ULONG length = 0;
    if (!own_ || QueryObject()(own_.get(), ObjectBasicInformation, &info, sizeof info, &length) < 0)
        return -1;
    return static_cast<long>(info.HandleCount) - 1;
}

namespace {

DWORD WINAPI ParkUntilSet(void* gate) {
    ::WaitForSingleObject(static_cast<HANDLE>(gate), 30000);
    return 0;
}

} // namespace

long SystemHandlesOnARunningThread() {
    UniqueHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!gate)
        return -1;
    UniqueHandle thread(::CreateThread(nullptr, 0, &ParkUntilSet, gate.get(), 0, nullptr));
    if (!thread)
        return -1;
    // The subsystem server takes its handle while CreateThread runs, before the call returns.
    const long open = HandleWitness(thread.get()).OthersOpen();
    const long others = open < 0 ? -1 : open - 1;
    ::SetEvent(gate.get());
    ::WaitForSingleObject(thread.get(), 30000);
    return others;
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
    plan.witnessHandles = false;
    std::lock_guard<std::mutex> hold(plan.seenLock);
    plan.seen = WatchHandles{};
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

// Keeps a witness of the watcher's handle in the slot, while the plan asks for witnesses and the
// slot is still free.
void Witness(HandleWitness WatchHandles::*slot, HANDLE handle) {
    FaultPlan& plan = Faults();
    if (!plan.witnessHandles || handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    std::lock_guard<std::mutex> hold(plan.seenLock);
    if (!(plan.seen.*slot).taken())
        plan.seen.*slot = HandleWitness(handle);
}

HANDLE WINAPI FaultyCreatePort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD threads) {
    FaultPlan& plan = Faults();
    Witness(&WatchHandles::directory, file);
    if (Take(existing != nullptr ? plan.failAssociations : plan.failPortCreations)) {
        ::SetLastError(plan.error);
        return nullptr;
    }
    const HANDLE port = ::CreateIoCompletionPort(file, existing, key, threads);
    if (existing == nullptr)
        Witness(&WatchHandles::port, port);
    return port;
}

BOOL WINAPI FaultyPost(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
    FaultPlan& plan = Faults();
    // A request's key is its record, which the posting caller holds (the worker has not seen it).
    if (bytes != 0 && key != 0) {
        const auto* pdi = reinterpret_cast<const CDirWatchInfo*>(key);
        Witness(&WatchHandles::doneEvent, pdi->doneEvent.get());
        if (pdi->GetChangeHandler() != nullptr)
            Witness(&WatchHandles::wrapperEvent,
                    DelayedHandlerTestPeer::StopDeliveredEvent(*pdi->GetChangeHandler()));
    }
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
    const uintptr_t thread =
        DefaultWatcherOsCalls().beginThread(security, stackSize, start, argument, flags, threadId);
    Witness(&WatchHandles::worker, reinterpret_cast<HANDLE>(thread));
    return thread;
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
