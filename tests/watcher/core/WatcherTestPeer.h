// What the watcher core suites reach inside CDirectoryChangeWatcher: the seam at the system's edge
// and the slot a watched directory occupies.
#pragma once

#include "watcher/DirectoryChanges.h"

#include <string>

class WatcherTestPeer {
public:
    // Replaces the seam; only while the watcher has no worker.
    static void SetOsCalls(CDirectoryChangeWatcher& watcher, const WatcherOsCalls& calls) {
        watcher.osCalls_ = calls;
    }
    // Replaces the wait limits; only while the watcher has no watch.
    static void SetWaitLimits(CDirectoryChangeWatcher& watcher, const WatcherWaitLimits& limits) {
        watcher.waitLimits_ = limits;
    }
    static int WatchSlot(const CDirectoryChangeWatcher& watcher, const std::string& directory) {
        return watcher.GetWatchSlot(directory);
    }
};
