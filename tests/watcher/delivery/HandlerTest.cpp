// The handler base: reference count and the watcher binding bookkeeping that needs no watcher.
#include "tests/watcher/delivery/DeliveryTestSupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using test_support::RecordingHandler;

TEST(HandlerReferences, LastReleaseDeletes) {
    bool destroyed = false;
    auto* handler = new RecordingHandler(&destroyed);
    EXPECT_EQ(handler->AddRef(), 2);
    EXPECT_EQ(handler->Release(), 1);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(handler->Release(), 0);
    EXPECT_TRUE(destroyed);
}

TEST(HandlerReferences, CountsAreExactAcrossThreads) {
    bool destroyed = false;
    auto* handler = new RecordingHandler(&destroyed);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([handler] {
            for (int i = 0; i < 20000; ++i) {
                handler->AddRef();
                handler->Release();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(handler->Release(), 0);
    EXPECT_TRUE(destroyed);
}

TEST(HandlerBinding, UnboundHandler) {
    RecordingHandler handler;
    EXPECT_EQ(handler.GetBoundWatcher(), nullptr);
    EXPECT_EQ(handler.GetWatchCount(), 0);
    EXPECT_EQ(handler.GetNotifyDirectory(), "");
    EXPECT_TRUE(handler.DetachFromWatcher());
    EXPECT_EQ(handler.AttachToWatcher(nullptr), 0);
    EXPECT_EQ(handler.ReleaseWatch(), -1) << "released below zero";
    EXPECT_EQ(handler.GetWatchCount(), 0);
    EXPECT_EQ(handler.GetBoundWatcher(), nullptr);
    handler.SetNotifyDirectory("C:\\w");
    EXPECT_EQ(handler.GetNotifyDirectory(), "C:\\w");
}

TEST(HandlerBinding, BaseOperationsDoNothingAndTheHookAccepts) {
    CDirectoryChangeHandler* handler = new CDirectoryChangeHandler();
    handler->On_FileAdded("a");
    handler->On_FileRemoved("a");
    handler->On_FileNameChanged("a", "b");
    handler->On_FileModified("a");
    handler->On_ReadDirectoryChangesError(5, "d");
    handler->On_WatchStarted(0, "d");
    handler->On_WatchStopped("d");
    EXPECT_TRUE(handler->On_FilterNotification(FILE_ACTION_ADDED, "a", nullptr));
    EXPECT_EQ(handler->Release(), 0);
}

} // namespace
