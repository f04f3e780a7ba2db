#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"

#include <new>

CDirWatchInfo::CDirWatchInfo(HANDLE directoryHandle_, const std::string& directory_,
                             CDirectoryChangeHandler* realHandler, DWORD notifyFilter_, BOOL watchSubtree_,
                             bool useWindowDelivery, const char* includeFilter, const char* excludeFilter,
                             DWORD filterFlags)
    : changeHandler(nullptr), directoryHandle(directoryHandle_), notifyFilter(notifyFilter_),
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
