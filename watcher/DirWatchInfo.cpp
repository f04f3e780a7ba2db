#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"
#include "common/MessagePumpWait.h"
#include "common/Tick.h"

#include <new>
#include <utility>

CDirWatchInfo::CDirWatchInfo(UniqueFile&& directoryHandle_, const std::string& directory_,
                             CDirectoryChangeHandler* realHandler, DWORD notifyFilter_, BOOL watchSubtree_,
                             bool useWindowDelivery, const char* includeFilter, const char* excludeFilter,
                             DWORD filterFlags)
    : changeHandler(nullptr), directoryHandle(std::move(directoryHandle_)), notifyFilter(notifyFilter_),
      watchSubtree(watchSubtree_), directory(directory_), bytesReturned(0), overlapped{}, lastError(0),
      doneEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)), runState(WATCH_NONE) {
    changeHandler = new (std::nothrow) CDelayedDirectoryChangeHandler(
        realHandler, useWindowDelivery, includeFilter, excludeFilter, filterFlags);
    if (changeHandler != nullptr) {
        changeHandler->SetRelativePathOffset(directory);
        // The reference is given back through the wrapper at destruction, so it is taken only
        // when there is a wrapper to carry it.
        if (realHandler != nullptr)
            realHandler->AddRef();
    }
}

// The user handler is taken out of the wrapper first: records of this watch still queued somewhere
// then reach no handler. The wrapper is released rather than deleted, since queued records may
// still hold it.
CDirWatchInfo::~CDirWatchInfo() {
    if (changeHandler != nullptr) {
        if (CDirectoryChangeHandler* realHandler = changeHandler->DetachRealHandler())
            realHandler->Release();
    }
    directoryHandle.reset();
    if (changeHandler != nullptr)
        changeHandler->Release();
    changeHandler = nullptr;
}

CDirectoryChangeHandler* CDirWatchInfo::GetRealChangeHandler() const {
    return changeHandler != nullptr ? changeHandler->GetRealHandler() : nullptr;
}

namespace {

// Waits between attempts to post a stop request that the system refused.
constexpr DWORD kPostRetryMs = 50;
constexpr DWORD kStartWaitSliceMs = 10000;
constexpr DWORD kStopWaitSliceMs = 5000;

const WatcherWaitLimits kDefaultWaitLimits = {30000, 30000, 5000};

volatile LONG g_abandonedWatches = 0;

bool ThreadHasEnded(HANDLE thread) {
    return thread == nullptr || ::WaitForSingleObject(thread, 0) != WAIT_TIMEOUT;
}

// A slice of at most `slice` that ends no later than `deadline`. Once the deadline has passed, the
// caller only waits on because the worker is answering right now: a whole slice then, which the
// answer ends at once, rather than a wait of 0 that would spin until it comes.
DWORD SliceUntil(ULONGLONG deadline, DWORD slice) {
    const ULONGLONG now = TickCount64();
    if (now >= deadline)
        return slice;
    return deadline - now < slice ? static_cast<DWORD>(deadline - now) : slice;
}

} // namespace

const WatcherWaitLimits& DefaultWatcherWaitLimits() {
    return kDefaultWaitLimits;
}

LONG CDirWatchInfo::AbandonedCount() {
    return g_abandonedWatches;
}

bool CDirWatchInfo::HasFailed() {
    ScopedLock hold(propertiesLock);
    return readFailed;
}

bool CDirWatchInfo::IsReadyToReap() {
    ScopedLock hold(propertiesLock);
    return runState == WATCH_FAILED;
}

bool CDirWatchInfo::IsAbandoned() {
    ScopedLock hold(propertiesLock);
    return runState == WATCH_ABANDONED;
}

CDelayedDirectoryChangeHandler* CDirWatchInfo::AcquireChangeHandler() {
    ScopedLock hold(propertiesLock);
    if (runState == WATCH_ABANDONED || changeHandler == nullptr)
        return nullptr;
    changeHandler->AddRef();
    return changeHandler;
}

void ChangeHandlerReference::reset() {
    if (CDelayedDirectoryChangeHandler* handler = release())
        handler->Release();
}

// Cancelling names the read by its handle, so it comes before the close. CancelIoEx cancels it from
// any thread; before Vista there is only CancelIo, which cancels the calling thread's own reads: the
// worker's stop takes that path, and a caller that gives the watch up relies on the close, which on
// Windows ends a pending directory read as well (the file system completes it as the last handle
// goes). The stop waits for that completion within the same bound either way.
void CDirWatchInfo::CloseDirectory() {
    ScopedLock hold(handleLock);
    if (directoryHandle) {
        if (osCalls->cancelIoEx != nullptr)
            osCalls->cancelIoEx(directoryHandle.get(), &overlapped);
        else if (readerThread == ::GetCurrentThreadId())
            ::CancelIo(directoryHandle.get());
        directoryHandle.reset();
    }
}

void CDirWatchInfo::AbandonLocked() {
    runState = WATCH_ABANDONED;
    CloseDirectory();
}

void CDirWatchInfo::ReleaseAbandoned() {
    if (changeHandler != nullptr) {
        if (CDirectoryChangeHandler* realHandler = changeHandler->DetachRealHandler())
            realHandler->Release();
        changeHandler->Release();
    }
    ::InterlockedIncrement(&g_abandonedWatches);
}

DWORD CDirWatchInfo::RequestStart(HANDLE port, HANDLE worker) {
    {
        ScopedLock hold(propertiesLock);
        runState = WATCH_START_REQUESTED;
        if (!osCalls->postQueuedCompletionStatus(port, 4, reinterpret_cast<ULONG_PTR>(this), &overlapped)) {
            // Nothing will answer: the start gives up with the system's reason.
            const DWORD error = ::GetLastError();
            runState = WATCH_NONE;
            lastError = error != 0 ? error : ERROR_NOT_ENOUGH_QUOTA;
            return lastError;
        }
    }
    const ULONGLONG deadline = TickCount64() + waitLimits->startAnswerMs;
    for (;;) {
        if (::WaitForSingleObject(doneEvent.get(), SliceUntil(deadline, kStartWaitSliceMs)) == WAIT_OBJECT_0)
            break;
        ScopedLock hold(propertiesLock);
        if (startAnswered)
            continue; // signalled right after the answer
        const bool readIssued = runState != WATCH_START_REQUESTED;
        // A read the worker issued is waited for a little longer while the worker lives: it is
        // answering now.
        if (ThreadHasEnded(worker) || (TickCount64() >= deadline && !readIssued)) {
            AbandonLocked();
            lastError = ERROR_TIMEOUT;
            return lastError;
        }
    }
    ::ResetEvent(doneEvent.get());
    return lastError;
}

// A watch whose re-read failed has no read pending and gets no more packets, so there is nothing
// to stop. Otherwise the worker must see the request: freeing the record while its read is pending
// would let the system and the worker write into freed memory. A request the system will not queue,
// a worker that does not take it, or an aborted read that never completes ends in the record being
// given up instead of freed.
CDirWatchInfo::StopOutcome CDirWatchInfo::RequestStop(HANDLE port, HANDLE worker) {
    QuitKeeper quit;
    const ULONGLONG answerDeadline = TickCount64() + waitLimits->stopAnswerMs;
    for (;;) {
        {
            ScopedLock hold(propertiesLock);
            if (runState == WATCH_FAILED)
                return StopOutcome::kConfirmed;
            if (runState == WATCH_ABANDONED)
                return StopOutcome::kGivenUp;
            runState = WATCH_STOP_REQUESTED;
            if (osCalls->postQueuedCompletionStatus(port, 4, reinterpret_cast<ULONG_PTR>(this), &overlapped))
                break;
            if (TickCount64() >= answerDeadline || ThreadHasEnded(worker)) {
                AbandonLocked();
                return StopOutcome::kGivenUp;
            }
        }
        // Handlers of this thread go on running meanwhile, as in every wait of this thread.
        WaitDispatchingMessages(nullptr, kPostRetryMs, quit);
    }
    for (;;) {
        ULONGLONG deadline = answerDeadline;
        {
            ScopedLock hold(propertiesLock);
            if (closedTick != 0)
                deadline = closedTick + waitLimits->abortedReadMs;
        }
        if (WaitDispatchingMessages(doneEvent.get(), SliceUntil(deadline, kStopWaitSliceMs), quit) ==
            WAIT_OBJECT_0) {
            ::ResetEvent(doneEvent.get());
            return StopOutcome::kConfirmed;
        }
        ScopedLock hold(propertiesLock);
        const ULONGLONG now = TickCount64();
        const bool readAborted = closedTick != 0;
        if (ThreadHasEnded(worker) || (readAborted && now >= closedTick + waitLimits->abortedReadMs) ||
            (!readAborted && runState == WATCH_STOP_REQUESTED && now >= answerDeadline)) {
            AbandonLocked();
            return StopOutcome::kGivenUp;
        }
    }
}

void CDirWatchInfo::PostStopRecordIfUnclaimed() {
    {
        ScopedLock hold(propertiesLock);
        if (stopRecordClaimed)
            return;
        stopRecordClaimed = true;
    }
    const bool posted = changeHandler != nullptr && changeHandler->PostWatchStopped(directory);
    ScopedLock hold(propertiesLock);
    stopRecordPosted = posted;
}

void CDirWatchInfo::WaitForStopFlush() {
    bool posted;
    {
        ScopedLock hold(propertiesLock);
        posted = std::exchange(stopRecordPosted, false);
    }
    if (posted && changeHandler != nullptr)
        changeHandler->WaitForStopDelivery();
}
