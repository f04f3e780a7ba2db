#pragma once

#include "common/RecursiveLock.h"
#include "common/Win32.h"

#include <string>

class CDirectoryChangeWatcher;

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
