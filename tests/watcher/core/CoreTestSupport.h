// What the watcher core's tests share: the kit's recording handler, the seam that injects failures
// at the system's edge, and access to the Linux side of the Wine prefix (files made or removed from
// outside Wine).
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "tests/support/TestSupport.h"
#include "tests/support/watcher/RecordingHandler.h"
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace core_tests {

using test_support::Delivery;
using test_support::HandlerPtr;
using test_support::MakeHandler;
using test_support::RecordingHandler;
using test_support::ReleaseHandler;
using test_support::WaitFor;
using test_support::WaitForCount;

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
                test_support::WriteTextFile(path, "x");
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

// The kernel handles open in this process, found by probing the handle table (Wine's
// GetProcessHandleCount answers 0): each value with its object's type. Wine, the test framework and
// the test's own threads open and close handles of their own at any moment, so a count taken at one
// moment says nothing about the watcher's; handles are compared by value and type instead.
using HandleTable = std::map<ULONG_PTR, std::wstring>;
HandleTable OpenHandles();

// Waits (20 s at most, dispatching this thread's messages) until no handle is open that was not in
// `before` with the same type, and answers the ones still new then ("0x1a4 Event"), empty when none.
// Handles of `before` that were closed meanwhile do not count: they are not the watcher's to keep.
std::string HandlesOpenedSince(const HandleTable& before);

// A handle of the test's own on an object the watcher opened, taken as the seam sees the
// watcher's handle. It keeps the object alive, so whether the watcher still holds the object is
// told by the object's handle count, whatever values the process's other handles take meanwhile.
class HandleWitness {
public:
    HandleWitness() = default;
    explicit HandleWitness(HANDLE watched);

    bool taken() const { return own_.valid(); }
    // Handles open on the object besides this one: 0 once the watcher has closed its own; -1 when
    // the system cannot tell.
    long OthersOpen() const;

private:
    UniqueHandle own_;
};

// Handles that the system itself keeps on a running thread of this process, besides the one
// CreateThread returns: none under Wine; one on NT, whose Win32 subsystem server holds each thread
// of a Win32 process until it ends. Measured on a thread of the test's own, parked meanwhile;
// -1 when the system cannot tell.
long SystemHandlesOnARunningThread();

// What the seam saw of one watch while FaultPlan::witnessHandles was set: the first of each.
struct WatchHandles {
    HandleWitness directory;    // the handle associated with the port
    HandleWitness port;         // a port the seam created
    HandleWitness worker;       // the thread the seam started
    HandleWitness doneEvent;    // the record's, from its start request
    HandleWitness wrapperEvent; // the record's delivery wrapper's, from the same request
};

// The Linux path of a Windows path of the prefix, and a shell command run outside Wine (its end
// cannot be waited for from here: callers wait for its effect).
using test_support::StartUnixShell;
using test_support::UnixPathOf;

// Failures injected at the system's edge. Tests arm them; every case starts disarmed.
struct FaultPlan {
    std::atomic<int> failRequestPosts{0}; // posts of 4 bytes (start and stop requests)
    std::atomic<int> failEndPosts{0};     // the packet that ends the worker
    std::atomic<int> failAssociations{0}; // associations with an existing port
    std::atomic<int> failPortCreations{0};
    std::atomic<int> failThreadStarts{0};
    std::atomic<int> failReads{0}; // the system itself refuses the read (reserved filter bits)
    // Request posts that report success but queue nothing: a request the worker never sees.
    std::atomic<int> lostRequestPosts{0};
    // Reads that report success but issue nothing: a read whose completion never comes, whatever
    // is done to its directory.
    std::atomic<bool> silentReads{false};
    std::atomic<int> failArrayGrowth{0};
    std::atomic<DWORD> error{ERROR_NO_SYSTEM_RESOURCES};
    // When set, a refused read first signals readReached and waits (10 s at most) for requestPosted,
    // which the next request post signals.
    std::atomic<bool> holdFailingRead{false};
    HANDLE readReached = nullptr;
    HANDLE requestPosted = nullptr;
    std::atomic<int> requestPosts{0};
    // When set, the seam keeps a witness of each handle of the watch it sees (seen, under seenLock).
    std::atomic<bool> witnessHandles{false};
    std::mutex seenLock;
    WatchHandles seen;
};

FaultPlan& Faults();
void DisarmFaults();
WatcherOsCalls FaultyOsCalls();

} // namespace core_tests
