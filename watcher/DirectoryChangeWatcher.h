// See DirectoryChanges.h for the threading contract and lock order of the engine as a whole.
#pragma once

#include "common/LibraryThread.h"
#include "common/RecursiveLock.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "watcher/DebugNameWriter.h"
#include "watcher/DirWatchInfo.h"
#include "watcher/DirectoryChangeHandler.h"
#include "watcher/FileNotifyInformation.h"

#include <deque>
#include <string>
#include <vector>

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

    // What the engine holds for the whole process: the delivery points' shared state and the window
    // class it registers for the host executable (which outlives an unloaded library; its window
    // procedure would not). The module object prepares the state as the library loads, so that the
    // state outlives the module object, and releases it as the library unloads. Release is true
    // when no class of this library stays registered.
    static void PrepareProcessState();
    static bool ReleaseProcessState();

    // Unwatches every directory whose user handler is `handler`; TRUE if at least one was removed.
    // Used when a handler moves to another watcher.
    BOOL UnwatchDirectoriesOfHandler(CDirectoryChangeHandler* handler);

    // Walks one completed buffer on the worker thread and hands each record to the watch's wrapper.
    // On return keepBytes is 0, or the size of the old-name record carried to the buffer start.
    static void ProcessChangeNotifications(CFileNotifyInformation& info, CDirWatchInfo* pdi,
                                           DWORD& keepBytes);

    // Read-only views for diagnostics and tests: the array's size with its holes, the reads that
    // completed empty because the system's change list overflowed, and the worker thread's
    // identifier (0 while there is none).
    size_t GetWatchSlotCount() const;
    LONG GetOverflowCount() const { return overflowCount_; }
    // Watches given up in this process, by every watcher: a stop or start that the worker or the
    // system never confirmed. Each one's record stays allocated for the life of the process.
    static LONG GetAbandonedWatchCount();
    DWORD GetWorkerThreadId() const;

protected:
    virtual void On_WorkerThreadStart() {}
    virtual void On_WorkerThreadExit() {}

private:
    friend class WatcherTestPeer;

    // The slot of a watched name; -1 when none.
    int GetWatchSlot(const std::string& directory) const;
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
    // What a stop talks to: the port its request goes to, and the worker that answers it.
    struct StopTarget {
        HANDLE port = nullptr;
        HANDLE worker = nullptr;
    };
    // Under the lock. Takes a record out of its slot, leaving a hole, so that nothing re-entered
    // during the stop (handlers run while the caller dispatches messages) can find it again, and
    // counts the stop as in flight on this thread until EndWatch is done with it.
    CDirWatchInfo* TakeWatchAt(int index, StopTarget& target);
    // Stops a record taken out of the array, waits for its flush, releases its handler's watch and
    // frees it (or, when the stop was given up, keeps it for good). Holds the lock only around the
    // bookkeeping, never across a wait.
    void EndWatch(CDirWatchInfo* pdi, StopTarget target);
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
    void ServeStartRequest(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler);
    void ServeStopRequest(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler);
    void ServeStopping(CDirWatchInfo* pdi);
    void ServeCompletion(CDirWatchInfo* pdi, const ChangeHandlerReference& handler, DWORD bytes);
    bool QueueBatch(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler, DWORD bytes);
    void WalkBatch(CDirWatchInfo* pdi, const BYTE* bytes, DWORD size);
    void WalkOldestBatch();
    void WalkQueuedBatchesOf(CDirWatchInfo* pdi);
    void TakeReadErrorPath(CDirWatchInfo* pdi, CDelayedDirectoryChangeHandler* handler, DWORD error);
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
    WatcherWaitLimits waitLimits_ = DefaultWatcherWaitLimits();
    volatile LONG overflowCount_ = 0;

    // Worker thread only: completed reads not walked yet, oldest first. A completion is queued and
    // its read issued again before the batch is walked, so a walk never leaves its directory without
    // a pending read (the system drops a burst's changes when they pile up with no read to take
    // them). A batch that cannot be queued is walked first, straight from the read buffer.
    struct PendingBatch {
        CDirWatchInfo* pdi;
        ChangeHandlerReference handler;
        std::vector<BYTE> bytes;
    };
    static constexpr size_t kMaxQueuedBytes = 32u << 20;
    std::deque<PendingBatch> batches_;
    size_t queuedBytes_ = 0;
    // Worker thread only; finished when the worker ends.
    DebugNameWriter debugNames_;
};
