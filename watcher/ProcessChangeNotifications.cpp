// The walk over one completed buffer, on the worker thread. Each record becomes one call on the
// watch's wrapper, which only queues it; the pairing rule itself is in RecordPairing.h.
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"
#include "watcher/RecordPairing.h"

namespace {

class BufferRecords {
public:
    explicit BufferRecords(CFileNotifyInformation& info) : info_(info) {}
    uint32_t Action() const { return info_.GetCurrentAction(); }
    bool Next() { return info_.MoveToNextRecord() != FALSE; }
    uint32_t CarryCurrentToStart() {
        DWORD keepBytes = 0;
        info_.CopyCurrentRecordToBeginningOfBuffer(keepBytes);
        return keepBytes;
    }
    std::string Path(const std::string& directory) const { return info_.GetCurrentFilePath(directory); }

private:
    CFileNotifyInformation& info_;
};

class WrapperCalls {
public:
    WrapperCalls(CDelayedDirectoryChangeHandler& handler, const std::string& directory)
        : handler_(handler), directory_(directory) {}
    std::string Name(const BufferRecords& records) const { return records.Path(directory_); }
    void Single(uint32_t action, const std::string& path) {
        switch (action) {
        case FILE_ACTION_ADDED:
            handler_.On_FileAdded(path);
            break;
        case FILE_ACTION_REMOVED:
            handler_.On_FileRemoved(path);
            break;
        case FILE_ACTION_MODIFIED:
            handler_.On_FileModified(path);
            break;
        }
    }
    void Renamed(const std::string& oldPath, const std::string& newPath) {
        handler_.On_FileNameChanged(oldPath, newPath);
    }

private:
    CDelayedDirectoryChangeHandler& handler_;
    const std::string& directory_;
};

} // namespace

void CDirectoryChangeWatcher::ProcessChangeNotifications(CFileNotifyInformation& info, CDirWatchInfo* pdi,
                                                         DWORD& keepBytes) {
    if (pdi == nullptr)
        return;
    keepBytes = 0;
    CDelayedDirectoryChangeHandler* handler = pdi->GetChangeHandler();
    if (handler == nullptr)
        return;
    BufferRecords records(info);
    WrapperCalls calls(*handler, pdi->directory);
    keepBytes = record_pairing::PairRecords(records, calls);
}
