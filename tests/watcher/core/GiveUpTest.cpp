// Waits on the worker and on the system that would never end: a read whose completion never comes,
// a start or stop request the worker never sees. Each wait gives the watch up after its limit (made
// short here), the caller returns, the handler hears the end of its watch and is let go, and the
// record is kept rather than freed. Each case runs under a watchdog that ends the program when the
// wait does not end.
#include "tests/support/Watchdog.h"
#include "tests/watcher/core/CoreTestSupport.h"
#include "tests/watcher/core/WatcherTestPeer.h"

#include <gtest/gtest.h>

using namespace core_tests;
using test_support::PumpMessagesUntil;
using test_support::Watchdog;
using test_support::WriteTextFile;

namespace {

constexpr WatcherWaitLimits kShortLimits = {1500, 1500, 300};

class GiveUp : public testing::Test, protected SeamCase {
protected:
    GiveUp() : SeamCase("giveup") { WatcherTestPeer::SetWaitLimits(watcher_, kShortLimits); }

    // The watcher goes on serving its other watches, and a new one, after a watch was given up.
    void ExpectTheWatcherStillWorks(const char* name) {
        HandlerPtr handler = MakeHandler();
        const std::string folder = Folder(name);
        ASSERT_EQ(0u, watcher_.WatchDirectory(folder, kNameChanges, handler.get()));
        WriteTextFile(folder + "\\after.txt", "x");
        EXPECT_TRUE(WaitFor(*handler, kFileAdded, folder + "\\after.txt"));
        const LONG abandoned = CDirectoryChangeWatcher::GetAbandonedWatchCount();
        EXPECT_TRUE(watcher_.UnwatchDirectory(folder));
        EXPECT_EQ(abandoned, CDirectoryChangeWatcher::GetAbandonedWatchCount())
            << "a normal stop gives nothing up";
    }
};

TEST_F(GiveUp, AReadWhoseCompletionNeverComesEndsTheUnwatchAndTheWatch) {
    HandlerPtr handler = MakeHandler();
    const std::string silent = Folder("silent");
    Faults().silentReads = true;
    ASSERT_EQ(0u, watcher_.WatchDirectory(silent, kNameChanges, handler.get()));
    Faults().silentReads = false;
    const LONG abandoned = CDirectoryChangeWatcher::GetAbandonedWatchCount();
    {
        Watchdog watchdog("an unwatch whose read never completes", 60000);
        EXPECT_TRUE(watcher_.UnwatchDirectory(silent));
    }
    EXPECT_EQ(abandoned + 1, CDirectoryChangeWatcher::GetAbandonedWatchCount());
    EXPECT_EQ(1, handler->Count(kWatchStopped)) << "delivered before the unwatch returned";
    EXPECT_EQ(0, handler->Count(kReadDirectoryChangesError));
    EXPECT_FALSE(watcher_.IsWatchingDirectory(silent));
    EXPECT_EQ(0, handler->GetWatchCount());
    EXPECT_EQ(1, handler->RefCount()) << "the record kept for good holds no handler";
    EXPECT_TRUE(::RemoveDirectoryA(silent.c_str())) << "the directory was closed: " << ::GetLastError();
    ExpectTheWatcherStillWorks("next");
}

TEST_F(GiveUp, AStartRequestTheWorkerNeverSeesFailsTheWatchWithATimeout) {
    HandlerPtr handler = MakeHandler();
    const std::string lost = Folder("lost");
    // A first watch starts the worker, so that the lost request is the only thing it misses.
    ExpectTheWatcherStillWorks("first");
    const LONG abandoned = CDirectoryChangeWatcher::GetAbandonedWatchCount();
    Faults().lostRequestPosts = 1;
    {
        Watchdog watchdog("a start the worker never answers", 60000);
        EXPECT_EQ(DWORD(ERROR_TIMEOUT), watcher_.WatchDirectory(lost, kNameChanges, handler.get()));
        EXPECT_EQ(DWORD(ERROR_TIMEOUT), ::GetLastError());
    }
    EXPECT_EQ(abandoned + 1, CDirectoryChangeWatcher::GetAbandonedWatchCount());
    EXPECT_FALSE(watcher_.IsWatchingDirectory(lost));
    EXPECT_EQ(nullptr, handler->GetBoundWatcher());
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler->RefCount() == 1; }));
    EXPECT_TRUE(::RemoveDirectoryA(lost.c_str())) << "the directory was closed: " << ::GetLastError();
    ExpectTheWatcherStillWorks("second");
}

TEST_F(GiveUp, AStopRequestTheWorkerNeverSeesEndsTheWatchAllTheSame) {
    HandlerPtr handler = MakeHandler();
    const std::string folder = Folder("unheard");
    ASSERT_EQ(0u, watcher_.WatchDirectory(folder, kNameChanges, handler.get()));
    WriteTextFile(folder + "\\before.txt", "x");
    ASSERT_TRUE(WaitFor(*handler, kFileAdded, folder + "\\before.txt"));
    const LONG abandoned = CDirectoryChangeWatcher::GetAbandonedWatchCount();
    Faults().lostRequestPosts = 1;
    {
        Watchdog watchdog("a stop the worker never sees", 60000);
        EXPECT_TRUE(watcher_.UnwatchDirectory(folder));
    }
    EXPECT_EQ(abandoned + 1, CDirectoryChangeWatcher::GetAbandonedWatchCount());
    EXPECT_EQ(1, handler->Count(kWatchStopped));
    EXPECT_EQ(kWatchStopped, handler->Deliveries().back().kind) << "the end comes after every notification";
    EXPECT_EQ(0, handler->GetWatchCount());
    EXPECT_EQ(1, handler->RefCount());
    // The read the give-up ended still completes; the worker leaves the kept record alone.
    ASSERT_TRUE(::DeleteFileA((folder + "\\before.txt").c_str()));
    EXPECT_TRUE(::RemoveDirectoryA(folder.c_str())) << "the directory was closed: " << ::GetLastError();
    ExpectTheWatcherStillWorks("later");
    EXPECT_TRUE(watcher_.UnwatchAllDirectories());
    EXPECT_EQ(1, watcher_.exits.load());
}

} // namespace
