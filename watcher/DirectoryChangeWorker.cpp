// The watcher's worker thread: serves the completion port, answers start and stop requests, walks
// each completed buffer and issues the next read.
//
// A packet's key is the watch record; what it means is decided by the record's run state, not by
// the packet. The one exception is the byte count of a read completion, which bounds the walk: a
// read that completes empty (the system's change list overflowed and its changes are gone) must not
// walk the records of an earlier read again.
//
// A completed read is copied out and the next read issued before the copy is walked, so the
// directory is almost never without a pending read; an old name that ends a batch waits at the
// start of the record's walk buffer for its new name in the next one. The walk is kept short, since
// other directories' completions wait behind it: it copies each record into a queued notification
// and leaves the debugger output of the names to a writer thread.
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"
#include "common/Tick.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

enum class ReadIssue { kIssued, kFailed, kClosed };

// A caller that gives the record up closes its directory under the handle lock, so the handle is
// looked at and used under it. kClosed: there is no directory to read any more.
ReadIssue IssueDirectoryRead(CDirWatchInfo* pdi, DWORD& error) {
    ScopedLock hold(pdi->handleLock);
    if (!pdi->directoryHandle)
        return ReadIssue::kClosed;
    pdi->readerThread = ::GetCurrentThreadId();
    if (pdi->osCalls->readDirectoryChanges(pdi->directoryHandle.get(), pdi->buffer, kNotificationBufferSize,
                                           pdi->watchSubtree, pdi->notifyFilter, &pdi->bytesReturned,
                                           &pdi->overlapped, nullptr))
        return ReadIssue::kIssued;
    const DWORD code = ::GetLastError();
    error = code != 0 ? code : ERROR_GEN_FAILURE;
    return ReadIssue::kFailed;
}

// The answer a waiting caller takes as leave to free the record: the last this thread does with it,
// and never under the record's lock, whose release would come after the caller may have freed it.
void SignalDone(CDirWatchInfo* pdi) {
    ::SetEvent(pdi->doneEvent.get());
}

} // namespace

void CDirectoryChangeWatcher::WorkerBody(void* watcher) {
    auto* self = static_cast<CDirectoryChangeWatcher*>(watcher);
    // Read without the lock, which the starting caller holds until this thread answers its start
    // request; the port was set before this thread was created and stays until it has ended.
    self->MonitorDirectoryChanges(self->port_.get());
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
        ::GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE);
        // Failed dequeues with a key are served like successful ones: the record's state decides.
        if (key == 0)
            break;
        HandlePacket(reinterpret_cast<CDirWatchInfo*>(key), bytes);
        while (!batches_.empty())
            WalkOldestBatch();
    }
    batches_.clear();
    debugNames_.Finish();
    try {
        On_WorkerThreadExit();
    } catch (...) {
    }
}

// The state and a reference on the wrapper are taken together: a record given up by a caller
// meanwhile is left alone, and one given up later keeps its wrapper until this packet is served.
void CDirectoryChangeWatcher::HandlePacket(CDirWatchInfo* pdi, DWORD bytes) {
    int state;
    ChangeHandlerReference handler;
    {
        ScopedLock hold(pdi->propertiesLock);
        state = pdi->runState;
        handler = ChangeHandlerReference(pdi->AcquireChangeHandler());
    }
    if (!handler)
        return;
    switch (state) {
    case CDirWatchInfo::WATCH_START_REQUESTED:
        ServeStartRequest(pdi, handler.get());
        break;
    case CDirWatchInfo::WATCH_STOP_REQUESTED:
        ServeStopRequest(pdi, handler.get());
        break;
    case CDirWatchInfo::WATCH_STOPPING:
        ServeStopping(pdi);
        break;
    case CDirWatchInfo::WATCH_RUNNING:
        ServeCompletion(pdi, handler, bytes);
        break;
    default:
        break;
    }
}

// The caller waits for doneEvent whatever the handler does. A caller that gave up waiting before
// this thread took the request has closed the directory; nothing is issued then.
void CDirectoryChangeWatcher::ServeStartRequest(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler) {
    DWORD error = ERROR_SUCCESS;
    pdi->carriedOffset = 0;
    const ReadIssue issue = IssueDirectoryRead(pdi, error);
    {
        ScopedLock hold(pdi->propertiesLock);
        if (issue == ReadIssue::kClosed || pdi->runState != CDirWatchInfo::WATCH_START_REQUESTED)
            return;
        if (issue == ReadIssue::kIssued)
            pdi->runState = CDirWatchInfo::WATCH_RUNNING;
        pdi->lastError = error;
    }
    try {
        handler->On_WatchStarted(error, pdi->directory);
    } catch (...) {
    }
    {
        ScopedLock hold(pdi->propertiesLock);
        pdi->startAnswered = true;
    }
    SignalDone(pdi);
}

// Ends the pending read (CloseDirectory); its completion, which comes later with the same key,
// confirms the stop. The On_WatchStopped record is only queued here: the unwatching caller waits for its
// delivery, so this thread goes on serving the port meanwhile, and handlers that call the watcher (a start or
// stop request needs this thread's answer) cannot wait on it.
void CDirectoryChangeWatcher::ServeStopRequest(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler) {
    bool alreadyClosed = false;
    bool claimed = false;
    {
        ScopedLock hold(pdi->propertiesLock);
        if (pdi->runState != CDirWatchInfo::WATCH_STOP_REQUESTED)
            return;
        if (!pdi->directoryHandle) {
            alreadyClosed = true;
        } else {
            pdi->CloseDirectory();
            pdi->closedTick = TickCount64();
            pdi->runState = CDirWatchInfo::WATCH_STOPPING;
            claimed = !pdi->stopRecordClaimed;
            pdi->stopRecordClaimed = true;
        }
    }
    if (alreadyClosed) {
        // A re-read failed meanwhile and closed the directory: no read is pending.
        SignalDone(pdi);
        return;
    }
    WalkQueuedBatchesOf(pdi);
    if (!claimed)
        return;
    bool posted = false;
    try {
        posted = handler->PostWatchStopped(pdi->directory);
    } catch (...) {
    }
    ScopedLock hold(pdi->propertiesLock);
    pdi->stopRecordPosted = posted;
}

void CDirectoryChangeWatcher::ServeStopping(CDirWatchInfo* pdi) {
    {
        ScopedLock hold(pdi->propertiesLock);
        if (pdi->runState != CDirWatchInfo::WATCH_STOPPING)
            return;
        if (pdi->directoryHandle) {
            pdi->CloseDirectory();
            return;
        }
    }
    SignalDone(pdi);
}

// The read is issued again before anything is walked. Only when the batch cannot be queued is it
// walked first, straight from the read buffer.
void CDirectoryChangeWatcher::ServeCompletion(CDirWatchInfo* pdi, const ChangeHandlerReference& handler,
                                              DWORD bytes) {
    if (bytes == 0) {
        // The system's change list overflowed: the new name that an old name carried from the last
        // batch waits for is among the changes lost, so the old name must not pair with whatever
        // the next read brings.
        ::InterlockedIncrement(&overflowCount_);
        WalkQueuedBatchesOf(pdi);
        pdi->carriedOffset = 0;
    }
    if (bytes > 0 && !QueueBatch(pdi, handler.get(), bytes))
        WalkBatch(pdi, pdi->buffer, bytes);
    DWORD error = ERROR_SUCCESS;
    switch (IssueDirectoryRead(pdi, error)) {
    case ReadIssue::kIssued:
        pdi->lastError = ERROR_SUCCESS;
        return;
    case ReadIssue::kClosed:
        return;
    case ReadIssue::kFailed:
        break;
    }
    WalkQueuedBatchesOf(pdi);
    TakeReadErrorPath(pdi, handler.get(), error);
}

// A queued batch holds a reference on the wrapper it will be walked into: the record may be given
// up before the walk.
bool CDirectoryChangeWatcher::QueueBatch(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler,
                                         DWORD bytes) {
    bytes = std::min(bytes, kNotificationBufferSize);
    if (queuedBytes_ + bytes > kMaxQueuedBytes)
        return false;
    try {
        std::vector<BYTE> copy(pdi->buffer, pdi->buffer + bytes);
        handler->AddRef();
        batches_.push_back(PendingBatch{pdi, ChangeHandlerReference(handler), std::move(copy)});
    } catch (const std::bad_alloc&) {
        return false;
    }
    queuedBytes_ += bytes;
    return true;
}

void CDirectoryChangeWatcher::WalkOldestBatch() {
    PendingBatch batch = std::move(batches_.front());
    batches_.pop_front();
    queuedBytes_ -= batch.bytes.size();
    WalkBatch(batch.pdi, batch.bytes.data(), DWORD(batch.bytes.size()));
}

// A watch that ends, by a stop or a failed read, first has all of its batches delivered.
void CDirectoryChangeWatcher::WalkQueuedBatchesOf(CDirWatchInfo* pdi) {
    for (auto it = batches_.begin(); it != batches_.end();) {
        if (it->pdi != pdi) {
            ++it;
            continue;
        }
        PendingBatch batch = std::move(*it);
        it = batches_.erase(it);
        queuedBytes_ -= batch.bytes.size();
        WalkBatch(batch.pdi, batch.bytes.data(), DWORD(batch.bytes.size()));
    }
}

void CDirectoryChangeWatcher::WalkBatch(CDirWatchInfo* pdi, const BYTE* bytes, DWORD size) {
    const DWORD valid = StageCompletedRead(pdi->walkBuffer, pdi->carriedOffset, bytes, size);
    DWORD keepBytes = 0;
    try {
        pdi->GetChangeHandler()->SetNotifyDirectory(pdi->directory);
        CFileNotifyInformation info(pdi->walkBuffer, valid, &debugNames_);
        ProcessChangeNotifications(info, pdi, keepBytes);
    } catch (...) {
        keepBytes = 0;
    }
    pdi->carriedOffset = PrepareNextRead(pdi->walkBuffer, sizeof pdi->walkBuffer, keepBytes);
    if (pdi->carriedOffset > CDirWatchInfo::kCarryRoom)
        pdi->carriedOffset = 0;
}

DWORD StageCompletedRead(BYTE* walkBuffer, DWORD carriedOffset, const BYTE* readBuffer, DWORD bytes) {
    carriedOffset = std::min(carriedOffset, CDirWatchInfo::kCarryRoom);
    bytes = std::min(bytes, kNotificationBufferSize);
    if (bytes > 0)
        std::memcpy(walkBuffer + carriedOffset, readBuffer, bytes);
    return carriedOffset + bytes;
}

// The error is reported at raised priority so that it is queued ahead of the other watches' work.
// No On_WatchStopped follows: the watch ended by itself.
void CDirectoryChangeWatcher::TakeReadErrorPath(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler,
                                                DWORD error) {
    HANDLE self = ::GetCurrentThread();
    const int savedPriority = ::GetThreadPriority(self);
    ::SetThreadPriority(self, THREAD_PRIORITY_HIGHEST);
    {
        ScopedLock hold(pdi->propertiesLock);
        pdi->readFailed = true;
    }
    try {
        pdi->lastError = error;
        handler->On_ReadDirectoryChangesError(error, pdi->directory);
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
    ScopedLock hold(pdi->propertiesLock);
    if (pdi->runState == CDirWatchInfo::WATCH_ABANDONED)
        return FALSE;
    pdi->CloseDirectory();
    if (pdi->runState != CDirWatchInfo::WATCH_STOP_REQUESTED)
        pdi->runState = CDirWatchInfo::WATCH_FAILED;
    return FALSE;
}
