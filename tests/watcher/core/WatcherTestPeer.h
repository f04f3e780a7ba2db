// What the watcher core suites reach inside CDirectoryChangeWatcher: the seam at the system's edge
// and the slot a watched directory occupies.
#pragma once

#include "tests/watcher/core/CoreTestSupport.h"
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

namespace core_tests {

// What the cases that go through the fault seam share: their own watcher with the seam in place, a
// folder of their own, and every fault disarmed at the start and the end of a case.
class SeamCase {
protected:
    explicit SeamCase(const char* folder) : dir_(folder) {
        DisarmFaults();
        WatcherTestPeer::SetOsCalls(watcher_, FaultyOsCalls());
    }
    ~SeamCase() {
        DisarmFaults();
        test_support::PumpPendingMessages();
    }
    // A subfolder of the case's folder, made on first use.
    std::string Folder(const char* name) {
        const std::string path = dir_ / name;
        ::CreateDirectoryA(path.c_str(), nullptr);
        return path;
    }

    test_support::TempDir dir_;
    CountingWatcher watcher_;
};

} // namespace core_tests
