// What the watcher core's tests share: a handler that records every delivery, owners for heap
// handlers, the seam that injects failures at the system's edge, and access to the Linux side of
// the Wine prefix (files made or removed from outside Wine).
#pragma once

#include "common/Win32.h"
#include "tests/support/TestSupport.h"
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace core_test {

// Deliveries are recorded by the engine's own record kinds (NotificationKind).

struct Delivery {
    int kind;
    std::string path;
    std::string newPath;
    DWORD code;
    DWORD threadId;
};

// Records what reaches it. Once marked ended (its watch is over), any further delivery is counted
// as late: that must never happen.
class RecordingHandler : public CDirectoryChangeHandler {
public:
    void On_FileAdded(const std::string& path) override { Record(kFileAdded, path, "", 0); }
    void On_FileRemoved(const std::string& path) override { Record(kFileRemoved, path, "", 0); }
    void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override {
        Record(kFileRenamed, oldPath, newPath, 0);
    }
    void On_FileModified(const std::string& path) override { Record(kFileModified, path, "", 0); }
    void On_ReadDirectoryChangesError(DWORD error, const std::string& directory) override {
        Record(kReadDirectoryChangesError, directory, "", error);
    }
    void On_WatchStarted(DWORD error, const std::string& directory) override {
        Record(kWatchStarted, directory, "", error);
    }
    void On_WatchStopped(const std::string& directory) override { Record(kWatchStopped, directory, "", 0); }

    std::vector<Delivery> Deliveries() const;
    int Count(int kind) const;
    bool Has(int kind, const std::string& path) const;
    // A rename, or (when Wine split it across reads) the removal and the addition.
    bool HasMove(const std::string& from, const std::string& to) const;
    void MarkEnded() { ended_ = true; }
    int LateCount() const { return late_; }
    LONG RefCount() const { return refCount_; }

private:
    void Record(int kind, const std::string& path, const std::string& newPath, DWORD code);

    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
    std::atomic<bool> ended_{false};
    std::atomic<int> late_{0};
};

struct ReleaseHandler {
    void operator()(CDirectoryChangeHandler* handler) const { handler->Release(); }
};
using HandlerPtr = std::unique_ptr<RecordingHandler, ReleaseHandler>;
inline HandlerPtr MakeHandler() {
    return HandlerPtr(new RecordingHandler);
}

// A watcher that counts its worker threads.
class CountingWatcher : public CDirectoryChangeWatcher {
public:
    using CDirectoryChangeWatcher::CDirectoryChangeWatcher;
    ~CountingWatcher() override { UnwatchAllDirectories(); }
    std::atomic<int> starts{0};
    std::atomic<int> exits{0};

protected:
    void On_WorkerThreadStart() override { ++starts; }
    void On_WorkerThreadExit() override { ++exits; }
};

inline constexpr DWORD kNameChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

// Creates and deletes files round the folders until told to stop.
class Churn {
public:
    explicit Churn(std::vector<std::string> folders)
        : folders_(std::move(folders)), thread_([this] { Run(); }) {}
    ~Churn() {
        stop_ = true;
        thread_.join();
    }
    Churn(const Churn&) = delete;
    Churn& operator=(const Churn&) = delete;

    // Files written or deleted so far.
    int Changes() const { return changes_; }

private:
    void Run() {
        for (unsigned i = 0; !stop_; ++i) {
            const std::string& folder = folders_[i % folders_.size()];
            const std::string path = folder + "\\c" + std::to_string((i / folders_.size() / 2) % 20) + ".txt";
            if ((i / folders_.size()) % 2 == 0)
                testing_support::WriteTextFile(path, "x");
            else
                ::DeleteFileA(path.c_str());
            ++changes_;
        }
    }

    std::vector<std::string> folders_;
    std::atomic<bool> stop_{false};
    std::atomic<int> changes_{0};
    std::thread thread_;
};

// Waits (dispatching this thread's messages) for a delivery; 20 s at most.
bool WaitFor(const RecordingHandler& handler, int kind, const std::string& path);
bool WaitForCount(const RecordingHandler& handler, int kind, int count);

// Open kernel handles of this process, counted by probing the handle table (Wine's
// GetProcessHandleCount answers 0).
int CountProcessHandles();

// The Linux path of a Windows path of the prefix, and a shell command run outside Wine (its end
// cannot be waited for from here: callers wait for its effect).
using testing_support::StartUnixShell;
using testing_support::UnixPathOf;

// Failures injected at the system's edge. Tests arm them; every case starts disarmed.
struct FaultPlan {
    std::atomic<int> failRequestPosts{0}; // posts of 4 bytes (start and stop requests)
    std::atomic<int> failEndPosts{0};     // the packet that ends the worker
    std::atomic<int> failAssociations{0}; // associations with an existing port
    std::atomic<int> failPortCreations{0};
    std::atomic<int> failThreadStarts{0};
    std::atomic<int> failReads{0}; // the system itself refuses the read (reserved filter bits)
    std::atomic<int> failArrayGrowth{0};
    std::atomic<DWORD> error{ERROR_NO_SYSTEM_RESOURCES};
    // When set, a refused read first signals readReached and waits (10 s at most) for requestPosted,
    // which the next request post signals.
    std::atomic<bool> holdFailingRead{false};
    HANDLE readReached = nullptr;
    HANDLE requestPosted = nullptr;
    std::atomic<int> requestPosts{0};
};

FaultPlan& Faults();
void DisarmFaults();
WatcherOsCalls FaultyOsCalls();

} // namespace core_test
