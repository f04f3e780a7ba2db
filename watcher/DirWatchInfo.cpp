#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"
#include "common/MessagePumpWait.h"

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

} // namespace

bool CDirWatchInfo::HasFailed() {
    ScopedLock hold(propertiesLock);
    return readFailed;
}

bool CDirWatchInfo::IsReadyToReap() {
    ScopedLock hold(propertiesLock);
    return runState == WATCH_FAILED;
}

DWORD CDirWatchInfo::RequestStart(HANDLE port) {
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
    while (::WaitForSingleObject(doneEvent.get(), kStartWaitSliceMs) != WAIT_OBJECT_0) {
    }
    ::ResetEvent(doneEvent.get());
    return lastError;
}

// A watch whose re-read failed has no read pending and gets no more packets, so there is nothing
// to stop. Otherwise the worker must see the request: freeing the record while its read is pending
// would let the system and the worker write into freed memory.
BOOL CDirWatchInfo::RequestStop(HANDLE port) {
    QuitKeeper quit;
    for (;;) {
        {
            ScopedLock hold(propertiesLock);
            if (runState == WATCH_FAILED)
                return TRUE;
            runState = WATCH_STOP_REQUESTED;
            if (osCalls->postQueuedCompletionStatus(port, 4, reinterpret_cast<ULONG_PTR>(this), &overlapped))
                break;
        }
        // Handlers of this thread go on running meanwhile, as in every wait of this thread.
        WaitDispatchingMessages(nullptr, kPostRetryMs, quit);
    }
    return WaitPumpingMessages();
}

BOOL CDirWatchInfo::WaitPumpingMessages() {
    QuitKeeper quit;
    while (WaitDispatchingMessages(doneEvent.get(), kStopWaitSliceMs, quit) != WAIT_OBJECT_0) {
    }
    ::ResetEvent(doneEvent.get());
    return TRUE;
}

void CDirWatchInfo::WaitForStopFlush() {
    if (stopRecordPosted && changeHandler != nullptr)
        changeHandler->WaitForStopDelivery();
    stopRecordPosted = false;
}
