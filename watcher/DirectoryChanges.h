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

#include "common/RecursiveLock.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

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
    // this read wrote, never more than the buffer holds.
    CFileNotifyInformation(BYTE* buffer, DWORD size);

    BOOL MoveToNextRecord();
    DWORD GetCurrentAction() const;
    std::string GetCurrentFileName() const;
    std::string GetCurrentFilePath(const std::string& directory) const;
    BOOL CopyCurrentRecordToBeginningOfBuffer(DWORD& keepBytes);

private:
    BYTE* bufferStart_;
    DWORD bufferSize_;
    BYTE* current_;
};

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

// One watched directory. Created by WatchDirectory, destroyed by whichever operation ends the watch.
// The worker reads and writes the fields directly; runState is guarded by propertiesLock.
class CDirWatchInfo {
public:
    enum RunState {
        WATCH_NONE = 0,
        WATCH_START_REQUESTED = 1,
        WATCH_STOP_REQUESTED = 2,
        WATCH_STOPPING = 3,
        WATCH_RUNNING = 5,
    };

    CDirWatchInfo(HANDLE directoryHandle, const std::string& directory, CDirectoryChangeHandler* realHandler,
                  DWORD notifyFilter, BOOL watchSubtree, bool useWindowDelivery, const char* includeFilter,
                  const char* excludeFilter, DWORD filterFlags);
    ~CDirWatchInfo();
    CDirWatchInfo(const CDirWatchInfo&) = delete;
    CDirWatchInfo& operator=(const CDirWatchInfo&) = delete;

    CDelayedDirectoryChangeHandler* GetChangeHandler() const { return changeHandler; }
    CDirectoryChangeHandler* GetRealChangeHandler() const;

    void LockProperties() { propertiesLock.Lock(); }
    void UnlockProperties() { propertiesLock.Unlock(); }

    DWORD RequestStart(HANDLE port);
    BOOL RequestStop(HANDLE port);
    BOOL WaitPumpingMessages();

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
};

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

protected:
    virtual void On_WorkerThreadStart() {}
    virtual void On_WorkerThreadExit() {}

private:
    HANDLE port_ = nullptr;
    HANDLE threadHandle_ = nullptr;
    DWORD threadId_ = 0;
    std::vector<CDirWatchInfo*> watches_;
    mutable RecursiveLock lock_;
    bool useWindowDelivery_;
    DWORD filterFlags_;
};
