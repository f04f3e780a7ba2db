#pragma once

#include "common/RecursiveLock.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "watcher/FileNotifyInformation.h"

#include <cstdint>
#include <string>
#include <vector>

class CDirectoryChangeHandler;
class CDelayedDirectoryChangeHandler;
class CDirWatchInfo;

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

    // Takes the directory handle over as its first member is built: from then on the record closes
    // it whatever happens, and until then (the allocation failed) the caller's owner still does.
    CDirWatchInfo(UniqueFile&& directoryHandle, const std::string& directory,
                  CDirectoryChangeHandler* realHandler, DWORD notifyFilter, BOOL watchSubtree,
                  bool useWindowDelivery, const char* includeFilter, const char* excludeFilter,
                  DWORD filterFlags);
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
