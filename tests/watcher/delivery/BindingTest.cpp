// The watcher binding against the real watcher: watches on real directories, stopped and moved.
#include "tests/watcher/delivery/DeliveryTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using delivery_tests::ExpectNoDeliveryPointsLeft;
using test_support::PumpMessagesUntil;
using test_support::RecordingHandler;
using test_support::TempDir;

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string MakeFolder(const TempDir& root, const std::string& name) {
    const std::string path = root / name;
    ::CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

TEST(HandlerBindingWithWatcher, MovingToASecondWatcherUnwatchesTheFirst) {
    TempDir root("bind");
    const std::string one = MakeFolder(root, "one"), two = MakeFolder(root, "two"),
                      three = MakeFolder(root, "three");
    auto* handler = new RecordingHandler();
    {
        CDirectoryChangeWatcher first, second;
        ASSERT_EQ(first.WatchDirectory(one, FILE_NOTIFY_CHANGE_FILE_NAME, handler), 0u);
        ASSERT_EQ(first.WatchDirectory(two, FILE_NOTIFY_CHANGE_FILE_NAME, handler), 0u);
        EXPECT_EQ(handler->GetBoundWatcher(), &first);
        EXPECT_EQ(handler->GetWatchCount(), 2);

        ASSERT_EQ(second.WatchDirectory(three, FILE_NOTIFY_CHANGE_FILE_NAME, handler), 0u);
        EXPECT_FALSE(first.IsWatchingDirectory(one));
        EXPECT_FALSE(first.IsWatchingDirectory(two));
        EXPECT_TRUE(second.IsWatchingDirectory(three));
        EXPECT_EQ(handler->GetBoundWatcher(), &second);
        EXPECT_EQ(handler->GetWatchCount(), 1);
        EXPECT_TRUE(Contains(handler->Texts(), "stopped " + one));
        EXPECT_TRUE(Contains(handler->Texts(), "stopped " + two));

        // End to end: a file made in the watched folder reaches the handler on this thread.
        test_support::WriteTextFile(three + "\\made.txt", "x");
        ASSERT_TRUE(
            PumpMessagesUntil([&] { return Contains(handler->Texts(), "added " + three + "\\made.txt"); }));
        for (const auto& call : handler->Calls())
            EXPECT_EQ(call.threadId, ::GetCurrentThreadId());

        EXPECT_TRUE(second.UnwatchDirectory(three));
        EXPECT_EQ(handler->Texts().back(), "stopped " + three);
        EXPECT_EQ(handler->GetBoundWatcher(), nullptr);
        EXPECT_EQ(handler->GetWatchCount(), 0);
    }
    EXPECT_EQ(handler->RefCount(), 1);
    handler->Release();
    ExpectNoDeliveryPointsLeft();
}

TEST(HandlerBindingWithWatcher, DestroyingABoundHandlerUnwatchesItsDirectories) {
    TempDir root("bind");
    const std::string one = MakeFolder(root, "one"), two = MakeFolder(root, "two");
    CDirectoryChangeWatcher watcher;
    {
        RecordingHandler embedded;
        ASSERT_EQ(watcher.WatchDirectory(one, FILE_NOTIFY_CHANGE_FILE_NAME, &embedded), 0u);
        ASSERT_EQ(watcher.WatchDirectory(two, FILE_NOTIFY_CHANGE_FILE_NAME, &embedded), 0u);
        EXPECT_EQ(embedded.GetWatchCount(), 2);
    }
    EXPECT_FALSE(watcher.IsWatchingDirectory(one));
    EXPECT_FALSE(watcher.IsWatchingDirectory(two));
}

// A binding whose watcher holds no watch of the handler (here made by hand) is stale: the handler
// moves to the new watcher with its one new watch there.
TEST(HandlerBindingWithWatcher, StaleBindingMovesToTheNewWatcher) {
    TempDir root("bind");
    const std::string one = MakeFolder(root, "one");
    auto* handler = new RecordingHandler();
    {
        CDirectoryChangeWatcher first, second;
        EXPECT_EQ(handler->AttachToWatcher(&first), 1);
        ASSERT_EQ(second.WatchDirectory(one, FILE_NOTIFY_CHANGE_FILE_NAME, handler), 0u);
        EXPECT_EQ(handler->GetBoundWatcher(), &second);
        EXPECT_EQ(handler->GetWatchCount(), 1);
        EXPECT_TRUE(second.UnwatchDirectory(one));
        EXPECT_EQ(handler->GetBoundWatcher(), nullptr);
        EXPECT_EQ(handler->GetWatchCount(), 0);
    }
    handler->Release();
    ExpectNoDeliveryPointsLeft();
}

} // namespace
