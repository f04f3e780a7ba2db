// The directory watcher: directories read with ReadDirectoryChangesW on one completion port, served
// by one worker thread per watcher; the walk over a completed notification buffer; and the base
// class of every change handler.
//
// Threading: the public operations of CDirectoryChangeWatcher are called by the watcher's owner.
// The worker thread calls the handler operations, but only ever on the deferred-delivery wrapper
// (DelayedDirectoryChangeHandler.h), which moves them to the delivery window's thread or to the
// delivery thread. Lock order: watcher lock -> watch record's properties lock; watcher lock ->
// handler lock when a watch is released; handler lock -> watcher lock when a handler moves to
// another watcher.
#pragma once

#include "common/LibraryThread.h"
#include "common/RecursiveLock.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "watcher/DebugNameWriter.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class CDirectoryChangeWatcher;
class CDelayedDirectoryChangeHandler;
class CDirWatchInfo;

// Each watch's notification buffer. 64 KiB rather than one page: a burst of thousands of files
// overflows a 4,096-byte buffer and the system then drops the pending records. 64 KiB is also the
// largest read that network shares accept.
inline constexpr DWORD kNotificationBufferSize = 64 * 1024;

// Walks the FILE_NOTIFY_INFORMATION records that one read left in a buffer. Owns nothing. Every
// read stays inside [buffer, buffer + size): records are not trusted to be well formed.
class CFileNotifyInformation {
public:
    // `size` is the number of valid bytes: the records carried from the previous read plus what
    // this read wrote, never more than the buffer holds. Every name taken from a record is also
    // written to the debugger output: through `debugNames` when given, else at once.
    CFileNotifyInformation(BYTE* buffer, DWORD size, DebugNameWriter* debugNames = nullptr);

    BOOL MoveToNextRecord();
    DWORD GetCurrentAction() const;
    std::string GetCurrentFileName() const;
    std::string GetCurrentFilePath(const std::string& directory) const;
    // Moves the current record (an old name whose new name did not come in this read) to the buffer
    // start, as the last record there, with its name cut to 260 units; keepBytes receives its size.
    BOOL CopyCurrentRecordToBeginningOfBuffer(DWORD& keepBytes);

private:
    BYTE* bufferStart_;
    DWORD bufferSize_;
    BYTE* current_;
    DebugNameWriter* debugNames_;
};

// Whether the last character of a narrow path is a backslash, with double-byte characters read as
// wholes (the trail byte of one may equal '\').
bool EndsWithBackslash(const std::string& path);

// Prepares the buffer for the next read after a walk that carried `keepBytes` bytes of an unpaired
// old-name record to the buffer start: links the carried record to the position where the next
// read's records will begin and returns that position, DWORD-aligned as ReadDirectoryChangesW
// requires (0 when nothing was carried).
DWORD PrepareNextRead(BYTE* buffer, DWORD bufferSize, DWORD keepBytes);

// Base of every change handler. Reference counted with interlocked operations; the last Release
// deletes. Bound to at most one watcher at a time; watchCount counts that watcher's watches that use
// this handler.
class CDirectoryChangeHandler {
public:
    CDirectoryChangeHandler();
    virtual ~CDirectoryChangeHandler();
    CDirectoryChangeHandler(const CDirectoryChangeHandler&) = delete;
    CDirectoryChangeHandler& operator=(const CDirectoryChangeHandler&) = delete;

    // Slots 1 to 8, in this fixed order.
    virtual void On_FileAdded(const std::string& path);
    virtual void On_FileRemoved(const std::string& path);
    virtual void On_FileNameChanged(const std::string& oldPath, const std::string& newPath);
    virtual void On_FileModified(const std::string& path);
    virtual void On_ReadDirectoryChangesError(DWORD error, const std::string& directory);
    virtual void On_WatchStarted(DWORD error, const std::string& directory);
    virtual void On_WatchStopped(const std::string& directory);
    virtual bool On_FilterNotification(DWORD action, const char* path, const char* newPath);

    LONG AddRef();
    LONG Release();
    LONG AttachToWatcher(CDirectoryChangeWatcher* watcher);
    BOOL DetachFromWatcher();
    LONG ReleaseWatch();
    void SetNotifyDirectory(const std::string& directory);

    // Read-only views for diagnostics and tests.
    LONG GetWatchCount() const { return watchCount_; }
    CDirectoryChangeWatcher* GetBoundWatcher() const { return boundWatcher_; }
    std::string GetNotifyDirectory() const;

protected:
    volatile LONG refCount_;
    std::string notifyDirectory_;
    CDirectoryChangeWatcher* boundWatcher_;
    volatile LONG watchCount_;
    mutable RecursiveLock lock_;
};

// The calls the watcher makes at the edge of the system where a failure cannot be made to happen
// on demand: posting to and associating with the completion port, starting the worker, issuing a
// read, and growing the record array (the last may throw std::bad_alloc). Tests replace them to
// reach the error paths; everything else the watcher does goes to the system directly.
struct WatcherOsCalls {
    decltype(&::CreateIoCompletionPort) createIoCompletionPort;
    decltype(&::PostQueuedCompletionStatus) postQueuedCompletionStatus;
    decltype(&::ReadDirectoryChangesW) readDirectoryChanges;
    uintptr_t (*beginThread)(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                             void* argument, unsigned flags, unsigned* threadId);
    void (*growWatchArray)(std::vector<CDirWatchInfo*>& watches);
};

// The real calls.
const WatcherOsCalls& DefaultWatcherOsCalls();

// One watched directory. Created by WatchDirectory, destroyed by whichever operation ends the watch.
// The worker reads and writes the fields directly; runState is guarded by propertiesLock.
//
// While the directory handle is open during a watch, exactly one read of it is pending: the stop
// protocol closes the handle and then waits for that read's completion before the record may go.
class CDirWatchInfo {
public:
    enum RunState {
        WATCH_NONE = 0,
        WATCH_START_REQUESTED = 1,
        WATCH_STOP_REQUESTED = 2,
        WATCH_STOPPING = 3,
        WATCH_RUNNING = 5,
        // A re-read failed: the directory is closed, no read is pending and no packet will come for
        // this record; it waits for a caller thread to take it out of the watcher (never the worker,
        // which must not wait for the watcher's lock).
        WATCH_FAILED = 6,
    };

    CDirWatchInfo(HANDLE directoryHandle, const std::string& directory, CDirectoryChangeHandler* realHandler,
                  DWORD notifyFilter, BOOL watchSubtree, bool useWindowDelivery, const char* includeFilter,
                  const char* excludeFilter, DWORD filterFlags);
    ~CDirWatchInfo();
    CDirWatchInfo(const CDirWatchInfo&) = delete;
    CDirWatchInfo& operator=(const CDirWatchInfo&) = delete;

    CDelayedDirectoryChangeHandler* GetChangeHandler() const { return changeHandler; }
    CDirectoryChangeHandler* GetRealChangeHandler() const;

    // Caller thread. Posts the start request and waits (10 s slices) for the worker's answer: 0, or
    // the error of the first read, or the error of a post that failed (nothing is waited for then).
    DWORD RequestStart(HANDLE port);
    // Caller thread. Ends the watch and waits, dispatching this thread's messages, until the worker
    // confirms. A post that fails is tried again until the system accepts it, because the record may
    // not be freed while its read is pending. TRUE once stopped.
    BOOL RequestStop(HANDLE port);
    BOOL WaitPumpingMessages();
    // Caller thread, after RequestStop. Waits, dispatching this thread's messages, until the user's
    // handler has received the On_WatchStopped that the worker queued for this watch: every record
    // queued before it has been delivered by then. The worker itself never waits for a delivery, so
    // a handler may call back into the watcher from any operation.
    void WaitForStopFlush();

    // Under propertiesLock. A watch whose re-read failed no longer counts as watching from the moment
    // the failure is known; its record may be freed by a caller once the worker has finished with it.
    bool HasFailed();
    bool IsReadyToReap();

    CDelayedDirectoryChangeHandler* changeHandler;
    UniqueFile directoryHandle;
    DWORD notifyFilter;
    BOOL watchSubtree;
    std::string directory;
    alignas(8) BYTE buffer[kNotificationBufferSize];
    DWORD bytesReturned;
    OVERLAPPED overlapped;
    DWORD lastError;
    RecursiveLock propertiesLock;
    UniqueHandle doneEvent;
    int runState;
    // Worker thread only. A batch is walked here, copied behind the old name carried from the
    // previous batch (the read buffer itself is already being written by the next read).
    static constexpr DWORD kCarryRoom = 1024;
    alignas(8) BYTE walkBuffer[kNotificationBufferSize + kCarryRoom];
    // Where in walkBuffer the next read's records go (0, or just past a carried old name).
    DWORD carriedOffset = 0;
    // Set by the worker, under propertiesLock, when a re-read failed.
    bool readFailed = false;
    // Set by the worker before it confirms a stop: an On_WatchStopped record is on its way.
    bool stopRecordPosted = false;
    // The watcher's seam; set before the record is started.
    const WatcherOsCalls* osCalls = &DefaultWatcherOsCalls();
};

// Copies `bytes` of a completed read behind the `carriedOffset` bytes already at the start of
// `walkBuffer` (whose size is kNotificationBufferSize + CDirWatchInfo::kCarryRoom) and returns the
// number of valid bytes to walk.
DWORD StageCompletedRead(BYTE* walkBuffer, DWORD carriedOffset, const BYTE* readBuffer, DWORD bytes);

// Threading contract: WatchDirectory, UnwatchDirectory, UnwatchAllDirectories and the destructor are
// called by the owner's threads; calls that start and end the same watcher's worker
// (WatchDirectory against UnwatchAllDirectories) must not run at the same time. A thread that owns
// the delivery window must be the one that unwatches, or must dispatch messages meanwhile.
class CDirectoryChangeWatcher {
public:
    // filterFlags 0 means NF_MATCH_FILE_NAME (8). Starts no thread and opens nothing.
    explicit CDirectoryChangeWatcher(bool useWindowDelivery = true, DWORD filterFlags = 8);
    virtual ~CDirectoryChangeWatcher();
    CDirectoryChangeWatcher(const CDirectoryChangeWatcher&) = delete;
    CDirectoryChangeWatcher& operator=(const CDirectoryChangeWatcher&) = delete;

    // 0 when the watch runs, else a Win32 error code; the same value becomes the last error.
    DWORD WatchDirectory(const std::string& directory, DWORD notifyFilter, CDirectoryChangeHandler* handler,
                         BOOL watchSubtree = FALSE, const char* includeFilter = nullptr,
                         const char* excludeFilter = nullptr);
    BOOL UnwatchDirectory(const std::string& directory);
    BOOL UnwatchAllDirectories();
    BOOL IsWatchingDirectory(const std::string& directory) const;
    DWORD SetFilterFlags(DWORD flags);

    // Unwatches every directory whose user handler is `handler`; TRUE if at least one was removed.
    // Used when a handler moves to another watcher.
    BOOL UnwatchDirectoriesOfHandler(CDirectoryChangeHandler* handler);

    // Walks one completed buffer on the worker thread and hands each record to the watch's wrapper.
    // On return keepBytes is 0, or the size of the old-name record carried to the buffer start.
    static void ProcessChangeNotifications(CFileNotifyInformation& info, CDirWatchInfo* pdi,
                                           DWORD& keepBytes);

    // Read-only views for diagnostics and tests: the slot of a watched name (-1 when none), the
    // array's size with its holes, the reads that completed empty because the system's change list
    // overflowed, and the worker thread's identifier (0 while there is none).
    int GetWatchSlot(const std::string& directory) const;
    size_t GetWatchSlotCount() const;
    LONG GetOverflowCount() const { return overflowCount_; }
    DWORD GetWorkerThreadId() const;

    // Replaces the seam; only while the watcher has no worker.
    void SetOsCallsForTesting(const WatcherOsCalls& calls) { osCalls_ = calls; }

protected:
    virtual void On_WorkerThreadStart() {}
    virtual void On_WorkerThreadExit() {}

private:
    DWORD StartWatch(const std::string& directory, DWORD notifyFilter, CDirectoryChangeHandler* handler,
                     BOOL watchSubtree, const char* includeFilter, const char* excludeFilter);
    CDirWatchInfo* NewWatchInfo(UniqueFile& directoryHandle, const std::string& directory,
                                CDirectoryChangeHandler* handler, DWORD notifyFilter, BOOL watchSubtree,
                                const char* includeFilter, const char* excludeFilter);
    DWORD ConnectAndStart(CDirWatchInfo* pdi);
    DWORD AssociateWithPort(CDirWatchInfo* pdi);
    DWORD StartWorker();

    BOOL AddWatchInfo(CDirWatchInfo* pdi);
    bool FindWatchInfo(const std::string& directory, int& index) const;
    bool FindWatchInfoByHandler(const CDirectoryChangeHandler* handler, int& index) const;
    // Under the lock. Takes a record out of its slot, leaving a hole, so that nothing re-entered
    // during the stop (handlers run while the caller dispatches messages) can find it again, and
    // counts the stop as in flight on this thread until EndWatch is done with it.
    CDirWatchInfo* TakeWatchAt(int index, HANDLE& port);
    // Stops a record taken out of the array, waits for its flush, releases its handler's watch and
    // frees it. Holds the lock only around the bookkeeping, never across a wait.
    void EndWatch(CDirWatchInfo* pdi, HANDLE port);
    void ReapFailedWatches();
    // Ends the worker once no watch is left. TRUE when done: ended now, ended already, or left to a
    // stop that this thread has in flight further up its stack (a nested unwatch-all), which ends it
    // when it is through. FALSE when handlers watched again meanwhile.
    bool EndWorkerWhenNoWatchIsLeft();
    // After an unwatch: a nested unwatch-all asked for the worker's end while this thread was busy.
    void FinishDeferredUnwatchAll();
    static bool PostEndPacket(void* watcher);

    // Worker thread.
    static void WorkerBody(void* watcher);
    void MonitorDirectoryChanges(HANDLE port);
    void HandlePacket(CDirWatchInfo* pdi, DWORD bytes);
    void ServeStartRequest(CDirWatchInfo* pdi);
    void ServeStopRequest(CDirWatchInfo* pdi);
    void ServeStopping(CDirWatchInfo* pdi);
    void ServeCompletion(CDirWatchInfo* pdi, DWORD bytes);
    bool QueueBatch(CDirWatchInfo* pdi, DWORD bytes);
    void WalkBatch(CDirWatchInfo* pdi, const BYTE* bytes, DWORD size);
    void WalkOldestBatch();
    void WalkQueuedBatchesOf(CDirWatchInfo* pdi);
    void TakeReadErrorPath(CDirWatchInfo* pdi, DWORD error);
    BOOL RemoveFailedWatch(CDirWatchInfo* pdi);

    UniqueHandle port_;
    LibraryThread worker_;
    std::vector<CDirWatchInfo*> watches_;
    // Guarded by lock_: the threads that have a stop of this watcher in flight, one entry per stop.
    // The worker is not ended while any is, since each waits for the worker's answer.
    std::vector<DWORD> stopsInFlight_;
    bool unwatchAllDeferred_ = false;
    mutable RecursiveLock lock_;
    bool useWindowDelivery_;
    DWORD filterFlags_;
    WatcherOsCalls osCalls_ = DefaultWatcherOsCalls();
    volatile LONG overflowCount_ = 0;

    // Worker thread only: completed reads not walked yet, oldest first. A completion is queued and
    // its read issued again before the batch is walked, so a walk never leaves its directory without
    // a pending read (the system drops a burst's changes when they pile up with no read to take
    // them). A batch that cannot be queued is walked first, straight from the read buffer.
    struct PendingBatch {
        CDirWatchInfo* pdi;
        std::vector<BYTE> bytes;
    };
    static constexpr size_t kMaxQueuedBytes = 32u << 20;
    std::deque<PendingBatch> batches_;
    size_t queuedBytes_ = 0;
    // Worker thread only; finished when the worker ends.
    DebugNameWriter debugNames_;
};
