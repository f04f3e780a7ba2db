// The base of every change handler: reference count, the directory of the current batch, and the
// binding to the one watcher whose watches use it.
//
// The binding lock guards boundWatcher and watchCount only. It is never held while the bound
// watcher unwatches directories: the unwatch waits for the worker and takes the watcher's lock,
// and an unwatching caller holds that lock while it lowers watchCount here, so holding this lock
// across the call could make two threads wait on each other.
#include "watcher/DirectoryChanges.h"

CDirectoryChangeHandler::CDirectoryChangeHandler() : refCount_(1), boundWatcher_(nullptr), watchCount_(0) {}

CDirectoryChangeHandler::~CDirectoryChangeHandler() {
    DetachFromWatcher();
}

void CDirectoryChangeHandler::On_FileAdded(const std::string&) {}
void CDirectoryChangeHandler::On_FileRemoved(const std::string&) {}
void CDirectoryChangeHandler::On_FileNameChanged(const std::string&, const std::string&) {}
void CDirectoryChangeHandler::On_FileModified(const std::string&) {}
void CDirectoryChangeHandler::On_ReadDirectoryChangesError(DWORD, const std::string&) {}
void CDirectoryChangeHandler::On_WatchStarted(DWORD, const std::string&) {}
void CDirectoryChangeHandler::On_WatchStopped(const std::string&) {}
bool CDirectoryChangeHandler::On_FilterNotification(DWORD, const char*, const char*) {
    return true;
}

LONG CDirectoryChangeHandler::AddRef() {
    return ::InterlockedIncrement(&refCount_);
}

LONG CDirectoryChangeHandler::Release() {
    const LONG count = ::InterlockedDecrement(&refCount_);
    if (count == 0)
        delete this;
    return count;
}

// Moving to another watcher first ends this handler's watches on the old one. When the old watcher
// turns out to hold none (the binding was stale), the handler is bound to the new watcher all the
// same: its one watch there is the one being added.
LONG CDirectoryChangeHandler::AttachToWatcher(CDirectoryChangeWatcher* watcher) {
    CDirectoryChangeWatcher* previous;
    {
        ScopedLock hold(lock_);
        previous = boundWatcher_;
        if (previous == nullptr || previous == watcher) {
            boundWatcher_ = watcher;
            return watcher != nullptr ? ::InterlockedIncrement(&watchCount_) : watchCount_;
        }
    }
    DetachFromWatcher();
    ScopedLock hold(lock_);
    boundWatcher_ = watcher;
    ::InterlockedExchange(&watchCount_, watcher != nullptr ? 1 : 0);
    return watchCount_;
}

BOOL CDirectoryChangeHandler::DetachFromWatcher() {
    CDirectoryChangeWatcher* watcher;
    {
        ScopedLock hold(lock_);
        watcher = boundWatcher_;
    }
    if (watcher == nullptr)
        return TRUE;
    return watcher->UnwatchDirectoriesOfHandler(this);
}

LONG CDirectoryChangeHandler::ReleaseWatch() {
    ScopedLock hold(lock_);
    const LONG count = ::InterlockedDecrement(&watchCount_);
    if (count <= 0) {
        boundWatcher_ = nullptr;
        ::InterlockedExchange(&watchCount_, 0);
    }
    return count;
}

void CDirectoryChangeHandler::SetNotifyDirectory(const std::string& directory) {
    ScopedLock hold(lock_);
    notifyDirectory_ = directory;
}

std::string CDirectoryChangeHandler::GetNotifyDirectory() const {
    ScopedLock hold(lock_);
    return notifyDirectory_;
}
