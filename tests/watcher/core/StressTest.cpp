// Many watches and many watchers while files change: fixed seeds, no deadlock, no handle left
// behind and no notification delivered after its watch ended. How long the cycles take is the
// machine's (a loaded one, or one that emulates 32-bit code, takes minutes): the test's timeout
// alone bounds them, so that a slow machine still runs every cycle.
#include "tests/watcher/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <thread>

using namespace core_tests;
using test_support::PumpMessagesUntil;
using test_support::PumpPendingMessages;
using test_support::TempDir;
using test_support::WriteTextFile;

namespace {

class Stress : public testing::Test {
protected:
    Stress() {
        for (const char* name : {"a", "b", "c"}) {
            folders_.push_back(dir_ / name);
            ::CreateDirectoryA(folders_.back().c_str(), nullptr);
        }
    }
    // One thread run and one notification delivered, so that what the process sets up on first use
    // (the thread library's state, the debug-output mutex) is not counted.
    void WarmUp() {
        { Churn churn(folders_); }
        HandlerPtr handler = MakeHandler();
        CDirectoryChangeWatcher watcher;
        ASSERT_EQ(0u, watcher.WatchDirectory(folders_[0], kNameChanges, handler.get()));
        WriteTextFile(folders_[0] + "\\warm.txt", "x");
        ASSERT_TRUE(WaitFor(*handler, kFileAdded, folders_[0] + "\\warm.txt"));
        watcher.UnwatchAllDirectories();
        PumpPendingMessages();
    }

    TempDir dir_{"stress"};
    std::vector<std::string> folders_;
};

TEST_F(Stress, AThousandWatchAndUnwatchCyclesWhileFilesChange) {
    WarmUp();
    const HandleTable handlesBefore = OpenHandles();
    std::mt19937 random(20240517u);
    std::vector<HandlerPtr> ended;
    int delivered = 0;
    {
        CDirectoryChangeWatcher watcher;
        Churn churn(folders_);
        for (int cycle = 0; cycle < 1000; ++cycle) {
            const std::string& folder = folders_[random() % folders_.size()];
            const BOOL subtree = random() % 2;
            const DWORD filter =
                random() % 3 == 0 ? DWORD(FILE_NOTIFY_CHANGE_LAST_WRITE) | kNameChanges : kNameChanges;
            HandlerPtr handler = MakeHandler();
            ASSERT_EQ(0u, watcher.WatchDirectory(folder, filter, handler.get(), subtree))
                << "cycle " << cycle;
            // Now and then the watch lives until the churn has reached it.
            if (random() % 4 == 0)
                PumpMessagesUntil(
                    [&] { return handler->Count(kFileAdded) + handler->Count(kFileRemoved) > 0; }, 2000);
            if (random() % 50 == 0) {
                ASSERT_TRUE(watcher.UnwatchAllDirectories());
            } else {
                ASSERT_TRUE(watcher.UnwatchDirectory(folder));
            }
            handler->MarkEnded();
            ASSERT_EQ(1, handler->Count(kWatchStopped)) << "cycle " << cycle;
            ended.push_back(std::move(handler));
        }
        PumpPendingMessages();
    }
    PumpPendingMessages();
    for (const HandlerPtr& handler : ended) {
        EXPECT_EQ(0, handler->LateCount());
        EXPECT_EQ(1, handler->RefCount());
        delivered += handler->Count(kFileAdded) + handler->Count(kFileRemoved);
    }
    EXPECT_GT(delivered, 0) << "the churn should have been seen by some watches";
    ended.clear();
    EXPECT_EQ("", HandlesOpenedSince(handlesBefore));
}

TEST_F(Stress, AHundredWatchersCreatedAndDestroyed) {
    WarmUp();
    const HandleTable handlesBefore = OpenHandles();
    std::mt19937 random(77u);
    std::vector<HandlerPtr> handlers;
    {
        std::vector<std::unique_ptr<CDirectoryChangeWatcher>> watchers;
        // Files change while the watchers start. Not while they end: a hundred watchers of three
        // folders turn each change into a hundred notifications for this one thread to deliver,
        // more than it can keep up with under Wine.
        auto churn = std::make_unique<Churn>(folders_);
        for (int i = 0; i < 100; ++i) {
            watchers.push_back(std::make_unique<CDirectoryChangeWatcher>());
            handlers.push_back(MakeHandler());
            const std::string& folder = folders_[random() % folders_.size()];
            ASSERT_EQ(0u, watchers.back()->WatchDirectory(folder, kNameChanges, handlers.back().get(), TRUE));
            if (random() % 2 == 0) {
                ASSERT_EQ(0u,
                          watchers.back()->WatchDirectory(dir_.path(), kNameChanges, handlers.back().get()));
            }
        }
        churn.reset();
        std::shuffle(watchers.begin(), watchers.end(), random);
        for (auto& watcher : watchers) {
            watcher.reset();
        }
        for (const HandlerPtr& handler : handlers) {
            EXPECT_GE(handler->Count(kWatchStopped), 1);
            handler->MarkEnded();
        }
    }
    PumpPendingMessages();
    for (const HandlerPtr& handler : handlers) {
        EXPECT_EQ(0, handler->LateCount());
        EXPECT_EQ(0, handler->GetWatchCount());
        EXPECT_EQ(1, handler->RefCount());
    }
    handlers.clear();
    EXPECT_EQ("", HandlesOpenedSince(handlesBefore));
}

} // namespace
