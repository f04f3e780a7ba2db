// The watcher's worker thread: serves the completion port, answers start and stop requests, walks
// each completed buffer and issues the next read.
//
// A packet's key is the watch record; what it means is decided by the record's run state, not by
// the packet. The one exception is the byte count of a read completion, which bounds the walk: a
// read that completes empty (the system's change list overflowed and its changes are gone) must not
// walk the records of an earlier read again.
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"

#include <algorithm>

namespace {

// Behind the bytes carried from the previous walk, DWORD-aligned.
BOOL IssueDirectoryRead(CDirWatchInfo* pdi) {
    const DWORD offset = pdi->readOffset;
    return pdi->osCalls->readDirectoryChanges(
        pdi->directoryHandle.get(), pdi->buffer + offset, kNotificationBufferSize - offset, pdi->watchSubtree,
        pdi->notifyFilter, &pdi->bytesReturned, &pdi->overlapped, nullptr);
}

int ReadRunState(CDirWatchInfo* pdi) {
    ScopedLock hold(pdi->propertiesLock);
    return pdi->runState;
}

void WriteRunState(CDirWatchInfo* pdi, int state) {
    ScopedLock hold(pdi->propertiesLock);
    pdi->runState = state;
}

} // namespace

unsigned __stdcall CDirectoryChangeWatcher::WorkerThreadProc(void* watcher) {
    auto* self = static_cast<CDirectoryChangeWatcher*>(watcher);
    // Read without the lock, which the starting caller holds until this thread answers its start
    // request; the port was set before this thread was created and stays until it has ended.
    self->MonitorDirectoryChanges(self->port_.get());
    return 0;
}

void CDirectoryChangeWatcher::MonitorDirectoryChanges(HANDLE port) {
    try {
        On_WorkerThreadStart();
    } catch (...) {
    }
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        // Failed dequeues with a key are served like successful ones: the record's state decides.
        ::GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE);
        if (key == 0)
            break;
        HandlePacket(reinterpret_cast<CDirWatchInfo*>(key), bytes);
    }
    try {
        On_WorkerThreadExit();
    } catch (...) {
    }
}

void CDirectoryChangeWatcher::HandlePacket(CDirWatchInfo* pdi, DWORD bytes) {
    switch (ReadRunState(pdi)) {
    case CDirWatchInfo::WATCH_START_REQUESTED:
        ServeStartRequest(pdi);
        break;
    case CDirWatchInfo::WATCH_STOP_REQUESTED:
        ServeStopRequest(pdi);
        break;
    case CDirWatchInfo::WATCH_STOPPING:
        ServeStopping(pdi);
        break;
    case CDirWatchInfo::WATCH_RUNNING:
        ServeCompletion(pdi, bytes);
        break;
    default:
        break;
    }
}

// The caller waits for doneEvent whatever the handler does.
void CDirectoryChangeWatcher::ServeStartRequest(CDirWatchInfo* pdi) {
    pdi->readOffset = 0;
    DWORD error = ERROR_SUCCESS;
    if (IssueDirectoryRead(pdi))
        WriteRunState(pdi, CDirWatchInfo::WATCH_RUNNING);
    else
        error = ::GetLastError() != 0 ? ::GetLastError() : ERROR_GEN_FAILURE;
    pdi->lastError = error;
    try {
        pdi->GetChangeHandler()->On_WatchStarted(error, pdi->directory);
    } catch (...) {
    }
    ::SetEvent(pdi->doneEvent.get());
}

// Closing the directory aborts the pending read; its completion, which comes later with the same
// key, confirms the stop. The wrapper's On_WatchStopped returns once the user's handler has run it.
void CDirectoryChangeWatcher::ServeStopRequest(CDirWatchInfo* pdi) {
    if (!pdi->directoryHandle) {
        ::SetEvent(pdi->doneEvent.get());
        return;
    }
    pdi->directoryHandle.reset();
    WriteRunState(pdi, CDirWatchInfo::WATCH_STOPPING);
    try {
        pdi->GetChangeHandler()->On_WatchStopped(pdi->directory);
    } catch (...) {
    }
}

void CDirectoryChangeWatcher::ServeStopping(CDirWatchInfo* pdi) {
    if (!pdi->directoryHandle)
        ::SetEvent(pdi->doneEvent.get());
    else
        pdi->directoryHandle.reset();
}

// Whatever the walk does, the next read is issued or the watch fails: a running watch without a
// pending read could never be stopped.
void CDirectoryChangeWatcher::ServeCompletion(CDirWatchInfo* pdi, DWORD bytes) {
    if (bytes == 0)
        ::InterlockedIncrement(&overflowCount_);
    DWORD keepBytes = 0;
    try {
        CDelayedDirectoryChangeHandler* handler = pdi->GetChangeHandler();
        handler->SetNotifyDirectory(pdi->directory);
        const DWORD valid = std::min<ULONGLONG>(ULONGLONG(pdi->readOffset) + bytes, kNotificationBufferSize);
        if (valid > 0) {
            CFileNotifyInformation info(pdi->buffer, valid);
            ProcessChangeNotifications(info, pdi, keepBytes);
        }
    } catch (...) {
        keepBytes = 0;
    }
    pdi->readOffset = PrepareNextRead(pdi->buffer, kNotificationBufferSize, keepBytes);
    if (IssueDirectoryRead(pdi)) {
        pdi->lastError = ERROR_SUCCESS;
        return;
    }
    TakeReadErrorPath(pdi, ::GetLastError() != 0 ? ::GetLastError() : ERROR_GEN_FAILURE);
}

// The error is reported at raised priority so that it is queued ahead of the other watches' work.
// No On_WatchStopped follows: the watch ended by itself.
void CDirectoryChangeWatcher::TakeReadErrorPath(CDirWatchInfo* pdi, DWORD error) {
    HANDLE self = ::GetCurrentThread();
    const int savedPriority = ::GetThreadPriority(self);
    ::SetThreadPriority(self, THREAD_PRIORITY_HIGHEST);
    {
        ScopedLock hold(pdi->propertiesLock);
        pdi->readFailed = true;
    }
    try {
        pdi->lastError = error;
        pdi->GetChangeHandler()->On_ReadDirectoryChangesError(error, pdi->directory);
    } catch (...) {
    }
    try {
        RemoveFailedWatch(pdi);
    } catch (...) {
    }
    ::SetThreadPriority(self, savedPriority);
}

// Worker thread. The removal itself is left to the next caller that holds the watcher's lock (a
// caller may hold it right now while waiting for this thread). The directory is closed at once so
// that it can be deleted. A stop request that came meanwhile stays in force: its packet is queued,
// finds the directory closed and releases the waiting caller, who then frees the record.
BOOL CDirectoryChangeWatcher::RemoveFailedWatch(CDirWatchInfo* pdi) {
    if (pdi == nullptr)
        return FALSE;
    pdi->directoryHandle.reset();
    ScopedLock hold(pdi->propertiesLock);
    if (pdi->runState != CDirWatchInfo::WATCH_STOP_REQUESTED)
        pdi->runState = CDirWatchInfo::WATCH_FAILED;
    return FALSE;
}
