#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"

void CDirectoryChangeWatcher::PrepareProcessState() {
    CDelayedNotificationWindow::PrepareSharedState();
}

bool CDirectoryChangeWatcher::ReleaseProcessState() {
    return CDelayedNotificationWindow::UnregisterWindowClass();
}
