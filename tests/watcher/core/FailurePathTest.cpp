// The error paths: reads the system refuses, and the failures injected where the system cannot be
// made to fail on demand (posting to the port, associating with it, starting the worker, growing
// the array).
#include "tests/watcher/core/CoreTestSupport.h"
#include "tests/watcher/core/WatcherTestPeer.h"
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <thread>

using namespace core_tests;
using test_support::PumpMessagesUntil;
using test_support::PumpPendingMessages;
using test_support::WriteTextFile;

namespace {

class FailurePath : public testing::Test, protected SeamCase {
protected:
    FailurePath() : SeamCase("fail") {}

    bool WaitUntilReleased(const RecordingHandler& handler) {
        return PumpMessagesUntil([&] {
            watcher_.IsWatchingDirectory(dir_.path());
            return handler.GetWatchCount() == 0;
        });
    }
};

// Reserved filter bits: Wine refuses the first read itself. What the watch opened is told apart
// from what Wine and the test's other threads open and close meanwhile by the objects themselves:
// the seam keeps a witness on each handle of the watch it sees.
TEST_F(FailurePath, AFirstReadTheSystemRefusesFailsTheWatch) {
    HandlerPtr handler = MakeHandler();
    // Once round first, so that what the process sets up on first use is not compared at the end.
    ASSERT_EQ(0u, watcher_.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    ASSERT_TRUE(watcher_.UnwatchAllDirectories());
    PumpPendingMessages();
    const HandleTable handlesBefore = OpenHandles();
    Faults().witnessHandles = true;
    EXPECT_EQ(
        DWORD(ERROR_INVALID_PARAMETER),
        watcher_.WatchDirectory(dir_.path(), 0x80000000u | FILE_NOTIFY_CHANGE_FILE_NAME, handler.get()));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ::GetLastError());
    Faults().witnessHandles = false;
    EXPECT_FALSE(watcher_.IsWatchingDirectory(dir_.path()));
    EXPECT_EQ(1, handler->RefCount());
    EXPECT_EQ(nullptr, handler->GetBoundWatcher());

    const WatchHandles& seen = Faults().seen;
    ASSERT_TRUE(seen.directory.taken() && seen.port.taken() && seen.worker.taken() &&
                seen.doneEvent.taken() && seen.wrapperEvent.taken());
    // The record went with the refused start, and its directory and event with it.
    EXPECT_EQ(0, seen.directory.OthersOpen());
    EXPECT_EQ(0, seen.doneEvent.OthersOpen());
    // Its delivery wrapper goes once the start record has been delivered here and the worker has
    // let go of the packet it answered, which it does just after the answer.
    EXPECT_TRUE(PumpMessagesUntil([&] { return seen.wrapperEvent.OthersOpen() == 0; }))
        << seen.wrapperEvent.OthersOpen() << " handle(s) left on the wrapper's event";
    // The worker and its port stay for the next watch, and go with the last one. The worker's
    // object also holds what the system keeps on every running thread.
    EXPECT_EQ(1, seen.port.OthersOpen());
    EXPECT_EQ(1 + SystemHandlesOnARunningThread(), seen.worker.OthersOpen());
    ASSERT_EQ(0u, watcher_.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    EXPECT_EQ(2, watcher_.starts.load());
    ASSERT_TRUE(watcher_.UnwatchAllDirectories());
    EXPECT_EQ(0, seen.port.OthersOpen());
    EXPECT_EQ(0, seen.worker.OthersOpen());
    // Nor did anything the seam does not see stay open.
    DisarmFaults();
    EXPECT_EQ("", HandlesOpenedSince(handlesBefore));
}

TEST_F(FailurePath, AFailedReReadReportsTheErrorAndEndsOnlyThatWatch) {
    const std::string failing = Folder("failing");
    const std::string healthy = Folder("healthy");
    HandlerPtr failingHandler = MakeHandler();
    HandlerPtr healthyHandler = MakeHandler();
    ASSERT_EQ(0u, watcher_.WatchDirectory(failing, kNameChanges, failingHandler.get()));
    ASSERT_EQ(0u, watcher_.WatchDirectory(healthy, kNameChanges, healthyHandler.get()));

    // The next read issued is the failing folder's re-read, after this file's notification.
    Faults().failReads = 1;
    WriteTextFile(failing + "\\last.txt", "x");
    EXPECT_TRUE(WaitFor(*failingHandler, kFileAdded, failing + "\\last.txt"));
    ASSERT_TRUE(WaitFor(*failingHandler, kReadDirectoryChangesError, failing));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), failingHandler->Deliveries().back().code);
    EXPECT_FALSE(watcher_.IsWatchingDirectory(failing));
    EXPECT_FALSE(watcher_.UnwatchDirectory(failing));
    // The record goes with the next operation of a caller once the worker has let go of it.
    EXPECT_TRUE(WaitUntilReleased(*failingHandler));
    EXPECT_EQ(0, failingHandler->Count(kWatchStopped));
    EXPECT_EQ(1, failingHandler->RefCount());
    // The failed watch let go of its directory.
    EXPECT_TRUE(test_support::RemoveTree(failing));

    WriteTextFile(healthy + "\\still.txt", "x");
    EXPECT_TRUE(WaitFor(*healthyHandler, kFileAdded, healthy + "\\still.txt"));
    EXPECT_EQ(1, WatcherTestPeer::WatchSlot(watcher_, healthy));
    EXPECT_EQ(0u, watcher_.WatchDirectory(Folder("next"), kNameChanges, healthyHandler.get()));
    EXPECT_EQ(0, WatcherTestPeer::WatchSlot(watcher_, dir_ / "next")); // the failed watch's slot was reused
}

// The worker fails a re-read while a caller holds the watcher's lock and waits for the worker to
// stop another watch: neither may wait for the other.
TEST_F(FailurePath, AFailedReReadDuringAnUnwatchDoesNotDeadlock) {
    const std::string failing = Folder("failing");
    const std::string stopped = Folder("stopped");
    HandlerPtr handler = MakeHandler();
    ASSERT_EQ(0u, watcher_.WatchDirectory(failing, kNameChanges, handler.get()));
    ASSERT_EQ(0u, watcher_.WatchDirectory(stopped, kNameChanges, handler.get()));
    UniqueHandle reached(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle posted(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Faults().readReached = reached.get();
    Faults().requestPosted = posted.get();
    Faults().holdFailingRead = true;
    Faults().failReads = 1;

    WriteTextFile(failing + "\\trigger.txt", "x");
    ASSERT_TRUE(PumpMessagesUntil([&] { return ::WaitForSingleObject(reached.get(), 0) == WAIT_OBJECT_0; }));
    // The worker now waits inside the failing re-read until this stop request is posted.
    const ULONGLONG begin = TickCount64();
    EXPECT_TRUE(watcher_.UnwatchDirectory(stopped));
    EXPECT_LT(TickCount64() - begin, 9000u) << "the worker waited for the lock";
    EXPECT_TRUE(WaitFor(*handler, kReadDirectoryChangesError, failing));
    EXPECT_FALSE(watcher_.IsWatchingDirectory(failing));
    EXPECT_TRUE(WaitUntilReleased(*handler));
    Faults().readReached = nullptr;
    Faults().requestPosted = nullptr;
}

TEST_F(FailurePath, AStartRequestThatCannotBePostedFailsTheWatch) {
    HandlerPtr handler = MakeHandler();
    Faults().failRequestPosts = 1;
    Faults().error = ERROR_NO_SYSTEM_RESOURCES;
    EXPECT_EQ(DWORD(ERROR_NO_SYSTEM_RESOURCES),
              watcher_.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    EXPECT_FALSE(watcher_.IsWatchingDirectory(dir_.path()));
    EXPECT_EQ(1, handler->RefCount());
    const std::string inner = Folder("inner");
    ASSERT_EQ(0u, watcher_.WatchDirectory(inner, kNameChanges, handler.get()));
    WriteTextFile(inner + "\\ok.txt", "x");
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, inner + "\\ok.txt"));
}

// A stop request that the system refuses is posted again: the record may not be freed while its
// read is pending.
TEST_F(FailurePath, AStopRequestThatCannotBePostedIsRetried) {
    HandlerPtr handler = MakeHandler();
    ASSERT_EQ(0u, watcher_.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    Faults().failRequestPosts = 3;
    EXPECT_TRUE(watcher_.UnwatchDirectory(dir_.path()));
    EXPECT_EQ(0, Faults().failRequestPosts.load());
    EXPECT_EQ(1, handler->Count(kWatchStopped));
    EXPECT_EQ(1, handler->RefCount());

    Faults().failEndPosts = 2;
    EXPECT_TRUE(watcher_.UnwatchAllDirectories());
    EXPECT_EQ(1, watcher_.exits.load());
}

TEST_F(FailurePath, AFailedAssociationKeepsThePortTheWorkerReads) {
    HandlerPtr handler = MakeHandler();
    const std::string first = Folder("first");
    const std::string second = Folder("second");
    const std::string third = Folder("third");

    Faults().failPortCreations = 1;
    Faults().error = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), watcher_.WatchDirectory(first, kNameChanges, handler.get()));
    EXPECT_EQ(0, watcher_.starts.load());
    ASSERT_EQ(0u, watcher_.WatchDirectory(first, kNameChanges, handler.get()));
    const DWORD worker = watcher_.GetWorkerThreadId();

    Faults().failAssociations = 1;
    Faults().error = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), watcher_.WatchDirectory(second, kNameChanges, handler.get()));
    EXPECT_FALSE(watcher_.IsWatchingDirectory(second));
    EXPECT_TRUE(::RemoveDirectoryA(second.c_str())); // its directory was closed

    ASSERT_EQ(0u, watcher_.WatchDirectory(third, kNameChanges, handler.get()));
    EXPECT_EQ(worker, watcher_.GetWorkerThreadId());
    WriteTextFile(first + "\\1.txt", "x");
    WriteTextFile(third + "\\3.txt", "x");
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, first + "\\1.txt"));
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, third + "\\3.txt"));
    EXPECT_EQ(2, handler->GetWatchCount());
}

TEST_F(FailurePath, AWorkerThatCannotStartFailsTheWatch) {
    HandlerPtr handler = MakeHandler();
    const struct {
        DWORD injected;
        DWORD expected;
    } cases[] = {{0, ERROR_MAX_THRDS_REACHED}, {ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY}};
    for (const auto& c : cases) {
        Faults().failThreadStarts = 1;
        Faults().error = c.injected;
        EXPECT_EQ(c.expected, watcher_.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
        EXPECT_FALSE(watcher_.IsWatchingDirectory(dir_.path()));
        EXPECT_EQ(0u, watcher_.GetWorkerThreadId());
    }
    EXPECT_EQ(1, handler->RefCount());
    ASSERT_EQ(0u, watcher_.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    EXPECT_EQ(1, watcher_.starts.load());
}

// The watch had started, so it is stopped again before the error is returned: nothing is left
// running that no one could end.
TEST_F(FailurePath, AnArrayThatCannotGrowStopsTheWatch) {
    HandlerPtr kept = MakeHandler();
    HandlerPtr refused = MakeHandler();
    const std::string first = Folder("first");
    ASSERT_EQ(0u, watcher_.WatchDirectory(first, kNameChanges, kept.get()));
    Faults().failArrayGrowth = 1;
    EXPECT_EQ(DWORD(ERROR_OUTOFMEMORY), watcher_.WatchDirectory(dir_.path(), kNameChanges, refused.get()));
    EXPECT_EQ(DWORD(ERROR_OUTOFMEMORY), ::GetLastError());
    EXPECT_FALSE(watcher_.IsWatchingDirectory(dir_.path()));
    EXPECT_EQ(1, refused->Count(kWatchStarted));
    EXPECT_EQ(1, refused->Count(kWatchStopped));
    EXPECT_EQ(0, refused->GetWatchCount());
    EXPECT_EQ(nullptr, refused->GetBoundWatcher());
    EXPECT_EQ(1, refused->RefCount());
    EXPECT_EQ(1u, watcher_.GetWatchSlotCount());
    WriteTextFile(first + "\\1.txt", "x");
    EXPECT_TRUE(WaitFor(*kept, kFileAdded, first + "\\1.txt"));
}

} // namespace
