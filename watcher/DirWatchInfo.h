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
// read, and growing the record array (the last may throw std::bad_alloc); and CancelIoEx, which
// Windows before Vista lacks (null there), so that tests can take the path those systems take.
// Tests replace them to reach the error paths; everything else the watcher does goes to the system
// directly.
struct WatcherOsCalls {
    decltype(&::CreateIoCompletionPort) createIoCompletionPort;
    decltype(&::PostQueuedCompletionStatus) postQueuedCompletionStatus;
    decltype(&::ReadDirectoryChangesW) readDirectoryChanges;
    uintptr_t (*beginThread)(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                             void* argument, unsigned flags, unsigned* threadId);
    void (*growWatchArray)(std::vector<CDirWatchInfo*>& watches);
    BOOL(WINAPI* cancelIoEx)(HANDLE file, LPOVERLAPPED overlapped);
};

// The real calls.
const WatcherOsCalls& DefaultWatcherOsCalls();

// How long a caller waits on the worker and on the system before it gives a watch up. A watch that
// is given up is never freed (the system may still write into its buffer and OVERLAPPED), so the
// limits are generous: they are there for a worker or a system that will not answer at all, not for
// a slow one. Tests shorten them.
struct WatcherWaitLimits {
    // The worker's answer to a start request: the first read issued, or its error.
    DWORD startAnswerMs;
    // The worker's taking of a stop request (a request the system refuses to queue counts too).
    DWORD stopAnswerMs;
    // The aborted read's completion, once the worker has cancelled the read and closed the directory.
    DWORD abortedReadMs;
};

// 30 s for an answer of the worker (three start slices, six stop slices), one 5 s stop slice for the
// aborted read.
const WatcherWaitLimits& DefaultWatcherWaitLimits();

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
        // Given up: the worker did not answer, or the system did not confirm the end of the read.
        // The directory is closed and the user's handler released, but the record stays allocated
        // for the life of the process; the worker ignores the packets that still come for it.
        WATCH_ABANDONED = 7,
    };

    // How a stop ended: confirmed by the aborted read's completion (the record may be freed), or
    // given up (the record must be kept).
    enum class StopOutcome { kConfirmed, kGivenUp };

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
    // A worker that has not answered within the limit, or has ended, makes the start give up with
    // ERROR_TIMEOUT and the record abandoned (IsAbandoned): it must then be let go with
    // ReleaseAbandoned, never freed. `worker` is the worker thread's handle.
    DWORD RequestStart(HANDLE port, HANDLE worker);
    // Caller thread. Ends the watch and waits, dispatching this thread's messages, until the worker
    // confirms. A post that fails is tried again, because the record may not be freed while its read
    // is pending. Bounded: a worker that does not take the request, or an aborted read whose
    // completion does not come, makes the stop give the watch up (the record is abandoned).
    StopOutcome RequestStop(HANDLE port, HANDLE worker);
    // Caller thread, after a stop that was given up: queues the watch's On_WatchStopped unless the
    // worker already did, so that the handler hears of the end either way.
    void PostStopRecordIfUnclaimed();
    // Caller thread, after RequestStop. Waits, dispatching this thread's messages, until the user's
    // handler has received the On_WatchStopped that the worker queued for this watch: every record
    // queued before it has been delivered by then. The worker itself never waits for a delivery, so
    // a handler may call back into the watcher from any operation.
    void WaitForStopFlush();

    // Under propertiesLock. A watch whose re-read failed no longer counts as watching from the moment
    // the failure is known; its record may be freed by a caller once the worker has finished with it.
    bool HasFailed();
    bool IsReadyToReap();
    bool IsAbandoned();
    // Records given up in this process, by every watcher.
    static LONG AbandonedCount();

    // Lets go of an abandoned record: its user handler and its own reference on the wrapper are
    // released, and the record itself stays allocated for the life of the process.
    void ReleaseAbandoned();

    // Worker thread. The record's wrapper with a reference taken for the caller, or null once the
    // record is abandoned: a caller that gives the record up releases its own reference at once, so
    // the worker holds one of its own for as long as it uses the wrapper.
    CDelayedDirectoryChangeHandler* AcquireChangeHandler();

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
    // Guards the directory handle against a caller that gives the record up (and closes it) while
    // the worker issues a read. Taken after propertiesLock where both are held, and never held by a
    // caller that only looks at the state, so a read the system is slow to issue holds up nobody.
    RecursiveLock handleLock;
    // Under handleLock. The thread that issued the pending read: without CancelIoEx only that thread
    // can cancel it (CancelIo).
    DWORD readerThread = 0;
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
    // Set before a stop is confirmed or given up: an On_WatchStopped record is on its way.
    bool stopRecordPosted = false;
    // Under propertiesLock. Whoever queues the On_WatchStopped record claims it first, so that the
    // worker and a caller that gives the watch up never both queue one.
    bool stopRecordClaimed = false;
    // Under propertiesLock. The worker has answered the start request (lastError holds the answer).
    bool startAnswered = false;
    // Under propertiesLock. When the worker closed the directory to end the watch (0: not yet).
    ULONGLONG closedTick = 0;
    // The watcher's seam and wait limits; set before the record is started.
    const WatcherOsCalls* osCalls = &DefaultWatcherOsCalls();
    const WatcherWaitLimits* waitLimits = &DefaultWatcherWaitLimits();

    // Ends the pending read, if the directory is still open: the read is cancelled and the
    // directory closed, under handleLock. Where the read cannot be cancelled from this thread (no
    // CancelIoEx, and another thread issued it), the close alone ends it.
    void CloseDirectory();
    // Under propertiesLock: marks the record abandoned and ends its read. The worker issues reads
    // only under handleLock and only while the handle is open.
    void AbandonLocked();
};

// Worker thread. Holds the reference AcquireChangeHandler took, for one packet or one batch.
class ChangeHandlerReference {
public:
    explicit ChangeHandlerReference(CDelayedDirectoryChangeHandler* handler = nullptr) : handler_(handler) {}
    ~ChangeHandlerReference() { reset(); }
    ChangeHandlerReference(ChangeHandlerReference&& other) noexcept : handler_(other.release()) {}
    ChangeHandlerReference& operator=(ChangeHandlerReference&& other) noexcept {
        if (this != &other) {
            reset();
            handler_ = other.release();
        }
        return *this;
    }
    ChangeHandlerReference(const ChangeHandlerReference&) = delete;
    ChangeHandlerReference& operator=(const ChangeHandlerReference&) = delete;

    CDelayedDirectoryChangeHandler* get() const { return handler_; }
    explicit operator bool() const { return handler_ != nullptr; }
    CDelayedDirectoryChangeHandler* release() {
        CDelayedDirectoryChangeHandler* handler = handler_;
        handler_ = nullptr;
        return handler;
    }
    void reset();

private:
    CDelayedDirectoryChangeHandler* handler_;
};

// Copies `bytes` of a completed read behind the `carriedOffset` bytes already at the start of
// `walkBuffer` (whose size is kNotificationBufferSize + CDirWatchInfo::kCarryRoom) and returns the
// number of valid bytes to walk.
DWORD StageCompletedRead(BYTE* walkBuffer, DWORD carriedOffset, const BYTE* readBuffer, DWORD bytes);
