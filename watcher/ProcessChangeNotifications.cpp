// The walk over one completed buffer, on the worker thread. Each record becomes one call on the
// watch's wrapper, which only queues it; an old name is paired with the record after it, and an old
// name that ends the buffer is carried to the buffer start to meet its partner in the next read.
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"

#include <new>

namespace {

void DispatchCurrentRecord(CFileNotifyInformation& info, CDelayedDirectoryChangeHandler& handler,
                           const std::string& directory, DWORD& keepBytes) {
    switch (info.GetCurrentAction()) {
    case FILE_ACTION_ADDED:
        handler.On_FileAdded(info.GetCurrentFilePath(directory));
        break;
    case FILE_ACTION_REMOVED:
        handler.On_FileRemoved(info.GetCurrentFilePath(directory));
        break;
    case FILE_ACTION_MODIFIED:
        handler.On_FileModified(info.GetCurrentFilePath(directory));
        break;
    case FILE_ACTION_RENAMED_OLD_NAME: {
        const std::string oldPath = info.GetCurrentFilePath(directory);
        if (info.MoveToNextRecord())
            handler.On_FileNameChanged(oldPath, info.GetCurrentFilePath(directory));
        else
            info.CopyCurrentRecordToBeginningOfBuffer(keepBytes);
        break;
    }
    default:
        // A lone new name, and actions this engine does not know, are skipped.
        break;
    }
}

} // namespace

void CDirectoryChangeWatcher::ProcessChangeNotifications(CFileNotifyInformation& info, CDirWatchInfo* pdi,
                                                         DWORD& keepBytes) {
    if (pdi == nullptr)
        return;
    keepBytes = 0;
    CDelayedDirectoryChangeHandler* handler = pdi->GetChangeHandler();
    if (handler == nullptr)
        return;
    do {
        try {
            DispatchCurrentRecord(info, *handler, pdi->directory, keepBytes);
        } catch (const std::bad_alloc&) {
            // Out of memory for one path: that notification is lost, the walk goes on.
        }
    } while (info.MoveToNextRecord());
}
