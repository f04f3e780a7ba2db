// Notifications on real folders: what files and folders do reaches the handler with full paths, on
// the thread that owns the delivery window, and nothing of a watch arrives after it ended.
#include "tests/watcher/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

using namespace core_tests;
using test_support::PumpMessagesUntil;
using test_support::PumpPendingMessages;
using test_support::TempDir;
using test_support::WriteTextFile;

namespace {

TEST(NotificationFlow, FilesAndFoldersReachTheHandlerWithFullPaths) {
    TempDir dir("flow");
    CDirectoryChangeWatcher watcher;
    HandlerPtr handler = MakeHandler();
    ASSERT_EQ(0u, watcher.WatchDirectory(dir.path(), kNameChanges, handler.get(), TRUE));

    WriteTextFile(dir / "a.txt", "x");
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, dir / "a.txt"));
    ASSERT_TRUE(::MoveFileA((dir / "a.txt").c_str(), (dir / "b.txt").c_str()));
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler->HasMove(dir / "a.txt", dir / "b.txt"); }));

    // A subfolder made during the watch is watched too (Wine does not report subfolders that
    // existed before the watch started).
    ASSERT_TRUE(::CreateDirectoryA((dir / "sub").c_str(), nullptr));
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, dir / "sub"));
    WriteTextFile(dir / "sub\\c.txt", "x");
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, dir / "sub\\c.txt"));
    ASSERT_TRUE(::MoveFileA((dir / "b.txt").c_str(), (dir / "sub\\b.txt").c_str()));
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler->HasMove(dir / "b.txt", dir / "sub\\b.txt"); }));
    ASSERT_TRUE(::DeleteFileA((dir / "sub\\c.txt").c_str()));
    EXPECT_TRUE(WaitFor(*handler, kFileRemoved, dir / "sub\\c.txt"));

    ASSERT_TRUE(watcher.UnwatchDirectory(dir.path()));
    for (const Delivery& delivery : handler->Deliveries())
        EXPECT_EQ(::GetCurrentThreadId(), delivery.threadId) << delivery.path;
    const std::vector<Delivery> all = handler->Deliveries();
    EXPECT_EQ(kWatchStarted, all.front().kind);
    EXPECT_EQ(kWatchStopped, all.back().kind);
}

// The unwatching thread owns the delivery window: the watch can only end because the unwatch
// dispatches that window's messages, the flowing notifications and On_WatchStopped included.
TEST(NotificationFlow, TheWindowThreadUnwatchesWhileNotificationsFlow) {
    TempDir dir("window");
    PumpPendingMessages();
    std::atomic<bool> done{false};
    DWORD windowThread = 0;
    HandlerPtr handler = MakeHandler();
    BOOL unwatched = FALSE;
    int lateDeliveries = -1;
    {
        Churn writer({dir.path()});
        std::thread owner([&] {
            windowThread = ::GetCurrentThreadId();
            CDirectoryChangeWatcher watcher;
            if (watcher.WatchDirectory(dir.path(), kNameChanges, handler.get()) == 0) {
                WaitForCount(*handler, kFileAdded, 20);
                unwatched = watcher.UnwatchDirectory(dir.path());
                handler->MarkEnded();
                PumpPendingMessages();
                lateDeliveries = handler->LateCount();
            }
            done = true;
        });
        // Should the window belong to this thread after all, deliveries would run here: dispatch so
        // that the case fails instead of hanging.
        EXPECT_TRUE(PumpMessagesUntil([&] { return done.load(); }, 60000));
        owner.join();
        EXPECT_GT(writer.Changes(), 0);
    }
    EXPECT_TRUE(unwatched);
    EXPECT_EQ(0, lateDeliveries);
    EXPECT_GE(handler->Count(kFileAdded), 20);
    EXPECT_EQ(1, handler->Count(kWatchStopped));
    for (const Delivery& delivery : handler->Deliveries())
        EXPECT_EQ(windowThread, delivery.threadId);
    EXPECT_EQ(0, handler->LateCount());
}

// The unwatching thread dispatches its messages while it waits; a WM_QUIT it meets there is the
// host's own request to end its message loop, and stays in the queue once the unwatch is over.
TEST(NotificationFlow, AQuitMetWhileUnwatchingIsKeptForTheHostsLoop) {
    TempDir dir("quit");
    PumpPendingMessages();
    HandlerPtr handler = MakeHandler();
    CDirectoryChangeWatcher watcher;
    ASSERT_EQ(0u, watcher.WatchDirectory(dir.path(), kNameChanges, handler.get()));
    ::PostQuitMessage(17);
    EXPECT_TRUE(watcher.UnwatchDirectory(dir.path()));
    EXPECT_EQ(1, handler->Count(kWatchStopped)) << "delivered during the wait";

    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(17u, msg.wParam);
    EXPECT_FALSE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "one quit, not two";
}

// Wine 8 keeps a watched folder's read pending when the folder is deleted from outside: the last
// records arrive, the watch stays, and ending it later is clean.
TEST(NotificationFlow, AFolderDeletedFromOutsideWineCanStillBeUnwatched) {
    TempDir dir("outside");
    const std::string watched = dir / "gone";
    ASSERT_TRUE(::CreateDirectoryA(watched.c_str(), nullptr));
    WriteTextFile(watched + "\\inside.txt", "x");
    const std::string unixPath = UnixPathOf(watched);
    ASSERT_FALSE(unixPath.empty());

    CDirectoryChangeWatcher watcher;
    HandlerPtr handler = MakeHandler();
    ASSERT_EQ(0u, watcher.WatchDirectory(watched, kNameChanges, handler.get()));
    ASSERT_TRUE(StartUnixShell("rm -rf '" + unixPath + "'"));
    EXPECT_TRUE(WaitFor(*handler, kFileRemoved, watched + "\\inside.txt"));
    EXPECT_TRUE(PumpMessagesUntil([&] { return !test_support::FileExists(watched); }));

    EXPECT_TRUE(watcher.UnwatchDirectory(watched));
    EXPECT_EQ(1, handler->Count(kWatchStopped));
    EXPECT_EQ(0, handler->Count(kReadDirectoryChangesError));
}

// Files that appear faster than Wine itself could make them (plain Linux tools writing into the
// prefix) all reach the handler, each once, while this thread dispatches.
TEST(NotificationFlow, ABurstMadeFromOutsideWineArrivesWhole) {
    constexpr int kFiles = 5000;
    TempDir dir("burst");
    const std::string unixPath = UnixPathOf(dir.path());
    ASSERT_FALSE(unixPath.empty());
    CDirectoryChangeWatcher watcher;
    HandlerPtr handler = MakeHandler();
    ASSERT_EQ(0u, watcher.WatchDirectory(dir.path(), kNameChanges, handler.get(), TRUE));
    ASSERT_TRUE(::CreateDirectoryA((dir / "many").c_str(), nullptr));
    ASSERT_TRUE(WaitFor(*handler, kFileAdded, dir / "many"));

    ASSERT_TRUE(StartUnixShell("cd '" + unixPath + "/many' && seq -f 'f%05g' 1 " + std::to_string(kFiles) +
                               " | xargs touch"));
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler->Count(kFileAdded) >= kFiles + 1; }, 60000));
    ASSERT_TRUE(watcher.UnwatchDirectory(dir.path()));

    std::vector<bool> seen(kFiles + 1, false);
    int duplicates = 0;
    for (const Delivery& delivery : handler->Deliveries()) {
        if (delivery.kind != kFileAdded || delivery.path == dir / "many")
            continue;
        const int index = std::atoi(delivery.path.c_str() + (dir / "many\\f").size());
        ASSERT_GT(index, 0) << delivery.path;
        ASSERT_LE(index, kFiles) << delivery.path;
        duplicates += seen[size_t(index)] ? 1 : 0;
        seen[size_t(index)] = true;
    }
    EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), false), 0) << "files missing";
    EXPECT_EQ(duplicates, 0);
}

} // namespace
