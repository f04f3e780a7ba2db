// Waits that must end, whatever the order of the calls around them: an unwatch on a thread whose
// wake was already seen, a host that throws its messages away, and handlers that call back into the
// watcher from every operation, nested unwatch-all included. Each case runs under a watchdog that
// ends the program when the case hangs.
#include "tests/support/Watchdog.h"
#include "tests/watcher/core/WatcherTestPeer.h"
#include "tests/watcher/core/CoreTestSupport.h"
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <functional>

using namespace core_tests;
using test_support::PumpMessagesUntil;
using test_support::PumpPendingMessages;
using test_support::TempDir;
using test_support::Watchdog;
using test_support::WriteTextFile;

namespace {

constexpr UINT kHostMessage = WM_APP + 50;

// A message for the shared delivery window waits in this thread's queue. Looking does not take it.
bool DeliveryMessageQueued() {
    MSG msg;
    const HWND window = CDelayedNotificationWindow::SharedWindow();
    return window != nullptr && ::PeekMessageA(&msg, window, WM_DELAYED_NOTIFICATION,
                                               WM_DELAYED_NOTIFICATION + 0xFF, PM_NOREMOVE | PM_NOYIELD);
}

// Polls without dispatching anything, so that what is queued stays queued.
bool WaitWithoutDispatching(const std::function<bool()>& condition, DWORD timeoutMs = 20000) {
    const ULONGLONG deadline = TickCount64() + timeoutMs;
    while (!condition()) {
        if (TickCount64() >= deadline)
            return false;
        ::WaitForSingleObject(::GetCurrentProcess(), 5); // the process handle is never signalled here
    }
    return true;
}

// A recording handler that also runs a test's action after each delivery.
class CallingHandler : public RecordingHandler {
public:
    std::function<void(int kind, const std::string& path)> action;

    void On_FileAdded(const std::string& path) override {
        After(kFileAdded, path, [&] { RecordingHandler::On_FileAdded(path); });
    }
    void On_FileRemoved(const std::string& path) override {
        After(kFileRemoved, path, [&] { RecordingHandler::On_FileRemoved(path); });
    }
    void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override {
        After(kFileRenamed, newPath, [&] { RecordingHandler::On_FileNameChanged(oldPath, newPath); });
    }
    void On_ReadDirectoryChangesError(DWORD error, const std::string& directory) override {
        After(kReadDirectoryChangesError, directory,
              [&] { RecordingHandler::On_ReadDirectoryChangesError(error, directory); });
    }
    void On_WatchStarted(DWORD error, const std::string& directory) override {
        After(kWatchStarted, directory, [&] { RecordingHandler::On_WatchStarted(error, directory); });
    }
    void On_WatchStopped(const std::string& directory) override {
        After(kWatchStopped, directory, [&] { RecordingHandler::On_WatchStopped(directory); });
    }

private:
    template <typename Record>
    void After(int kind, const std::string& path, Record record) {
        record();
        if (action)
            action(kind, path);
    }
};

struct ReleaseCalling {
    void operator()(CallingHandler* handler) const { handler->Release(); }
};
using CallingPtr = std::unique_ptr<CallingHandler, ReleaseCalling>;

class StopWait : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0u, watcher_.WatchDirectory(dir_.path(), kNameChanges, handler_.get()));
        ASSERT_TRUE(WaitFor(*handler_, kWatchStarted, dir_.path()));
        PumpPendingMessages();
    }
    void TearDown() override { PumpPendingMessages(); }

    // A file whose notification is queued for this thread, its wake message waiting in the queue.
    void QueueANotification(const std::string& name) {
        WriteTextFile(dir_ / name, "x");
        ASSERT_TRUE(WaitWithoutDispatching(DeliveryMessageQueued)) << "no wake for " << name;
    }

    TempDir dir_{"hang"};
    CDirectoryChangeWatcher watcher_;
    HandlerPtr handler_ = MakeHandler();
};

// The host's GetMessage takes a message that was ahead of the wake, and its handler stops the watch:
// the wake has been seen already, and no timer will come by.
TEST_F(StopWait, AnUnwatchFromAHandlerOfAMessageAheadOfTheWakeReturns) {
    ASSERT_TRUE(::PostThreadMessageA(::GetCurrentThreadId(), kHostMessage, 0, 0));
    QueueANotification("ahead.txt");
    Watchdog watchdog("unwatch behind an already seen wake");
    MSG msg;
    ASSERT_GT(::GetMessageA(&msg, nullptr, 0, 0), 0);
    ASSERT_EQ(msg.message, kHostMessage);
    EXPECT_TRUE(watcher_.UnwatchDirectory(dir_.path()));
    EXPECT_TRUE(handler_->Has(kFileAdded, dir_ / "ahead.txt")) << "the unwatch flushes what was queued";
    EXPECT_EQ(1, handler_->Count(kWatchStopped));
}

// A WM_QUIT taken off the queue ahead of the wake: the wait goes on for the wake behind it and the
// quit stays for the host's own loop.
TEST_F(StopWait, AQuitAheadOfTheWakeIsKeptAndTheUnwatchReturns) {
    ASSERT_TRUE(::PostThreadMessageA(::GetCurrentThreadId(), WM_QUIT, 7, 0));
    QueueANotification("quit.txt");
    Watchdog watchdog("unwatch behind a WM_QUIT");
    EXPECT_TRUE(watcher_.UnwatchDirectory(dir_.path()));
    EXPECT_TRUE(handler_->Has(kFileAdded, dir_ / "quit.txt"));
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        << "the quit is kept for the host";
    EXPECT_EQ(msg.wParam, WPARAM(7));
}

// A host that empties its queue without dispatching throws the wake away; the records behind it
// must still come, and the stop must still flush them.
TEST_F(StopWait, AWakeThrownAwayByTheHostDoesNotStrandLaterRecords) {
    QueueANotification("dropped.txt");
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    WriteTextFile(dir_ / "later.txt", "x");
    Watchdog watchdog("records behind a discarded wake");
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler_->Has(kFileAdded, dir_ / "later.txt"); }));
    EXPECT_TRUE(handler_->Has(kFileAdded, dir_ / "dropped.txt"));

    QueueANotification("dropped-again.txt");
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    EXPECT_TRUE(watcher_.UnwatchDirectory(dir_.path()));
    EXPECT_TRUE(handler_->Has(kFileAdded, dir_ / "dropped-again.txt")) << "the unwatch flushes it";
}

class Reentrancy : public testing::Test {
protected:
    std::string Folder(const char* name) {
        const std::string path = dir_ / name;
        ::CreateDirectoryA(path.c_str(), nullptr);
        return path;
    }
    void TearDown() override { PumpPendingMessages(); }

    TempDir dir_{"reenter"};
    CountingWatcher watcher_;
    CallingPtr handler_{new CallingHandler};
};

// On_WatchStopped watches another folder and unwatches a sibling while the worker has a stop in hand.
TEST_F(Reentrancy, OnWatchStoppedMayWatchAndUnwatchOnTheSameWatcher) {
    const std::string first = Folder("first");
    const std::string sibling = Folder("sibling");
    const std::string later = Folder("later");
    ASSERT_EQ(0u, watcher_.WatchDirectory(first, kNameChanges, handler_.get()));
    ASSERT_EQ(0u, watcher_.WatchDirectory(sibling, kNameChanges, handler_.get()));
    DWORD watchResult = 1;
    BOOL unwatchResult = FALSE;
    handler_->action = [&](int kind, const std::string& path) {
        if (kind == kWatchStopped && path == first) {
            watchResult = watcher_.WatchDirectory(later, kNameChanges, handler_.get());
            unwatchResult = watcher_.UnwatchDirectory(sibling);
        }
    };
    {
        Watchdog watchdog("watch and unwatch from On_WatchStopped");
        EXPECT_TRUE(watcher_.UnwatchDirectory(first));
    }
    EXPECT_EQ(0u, watchResult);
    EXPECT_TRUE(unwatchResult);
    EXPECT_TRUE(watcher_.IsWatchingDirectory(later));
    EXPECT_FALSE(watcher_.IsWatchingDirectory(sibling));
    EXPECT_TRUE(handler_->Has(kWatchStopped, sibling));
    WriteTextFile(later + "\\after.txt", "x");
    EXPECT_TRUE(WaitFor(*handler_, kFileAdded, later + "\\after.txt"));
    handler_->action = nullptr;
    Watchdog watchdog("unwatch all after re-entrant calls");
    EXPECT_TRUE(watcher_.UnwatchAllDirectories());
    EXPECT_EQ(0, handler_->GetWatchCount());
}

// An unwatch-all nested inside another: from the handler of a stop that the outer one is waiting for.
TEST_F(Reentrancy, ANestedUnwatchAllReturnsAndSoDoesTheOuterOne) {
    const std::string a = Folder("a");
    const std::string b = Folder("b");
    const std::string c = Folder("c");
    for (const std::string& folder : {a, b, c})
        ASSERT_EQ(0u, watcher_.WatchDirectory(folder, kNameChanges, handler_.get()));
    BOOL inner = FALSE;
    handler_->action = [&](int kind, const std::string& path) {
        if (kind == kWatchStopped && path == a)
            inner = watcher_.UnwatchAllDirectories();
    };
    Watchdog watchdog("nested unwatch-all");
    EXPECT_TRUE(watcher_.UnwatchAllDirectories());
    EXPECT_TRUE(inner);
    EXPECT_EQ(3, handler_->Count(kWatchStopped));
    EXPECT_EQ(0u, watcher_.GetWorkerThreadId());
    EXPECT_EQ(1, watcher_.exits.load());
    EXPECT_EQ(0, handler_->GetWatchCount());
    EXPECT_FALSE(watcher_.UnwatchAllDirectories());
}

// Every file notification's handler may end all watches while a single unwatch is flushing it; the
// outer unwatch returns and the worker is gone afterwards.
TEST_F(Reentrancy, EveryNotificationMayEndAllWatchesDuringAFlush) {
    const std::string folder = Folder("notes");
    const std::string other = Folder("other");
    struct Case {
        int kind;
        std::function<void()> prepare;
        std::function<void()> make;
    } cases[] = {
        {kFileAdded, [] {}, [&] { WriteTextFile(folder + "\\added.txt", "x"); }},
        {kFileRemoved, [&] { WriteTextFile(folder + "\\gone.txt", "x"); },
         [&] { ::DeleteFileA((folder + "\\gone.txt").c_str()); }},
        {kFileRenamed, [&] { WriteTextFile(folder + "\\old.txt", "x"); },
         [&] { ::MoveFileA((folder + "\\old.txt").c_str(), (folder + "\\new.txt").c_str()); }},
    };
    int round = 0;
    for (const Case& c : cases) {
        c.prepare();
        ASSERT_EQ(0u, watcher_.WatchDirectory(folder, kNameChanges, handler_.get()));
        ASSERT_EQ(0u, watcher_.WatchDirectory(other, kNameChanges, handler_.get()));
        ASSERT_TRUE(WaitForCount(*handler_, kWatchStarted, 2 * ++round));
        PumpPendingMessages();
        int firstKind = 0;
        BOOL inner = FALSE;
        handler_->action = [&](int kind, const std::string&) {
            if (firstKind == 0 && kind >= kFileAdded && kind <= kFileRenamed) {
                firstKind = kind;
                inner = watcher_.UnwatchAllDirectories();
            }
        };
        c.make();
        ASSERT_TRUE(WaitWithoutDispatching(DeliveryMessageQueued)) << "kind " << c.kind;
        {
            Watchdog watchdog("unwatch-all from kind " + std::to_string(c.kind));
            EXPECT_TRUE(watcher_.UnwatchDirectory(folder));
        }
        handler_->action = nullptr;
        EXPECT_EQ(c.kind, firstKind);
        EXPECT_TRUE(inner);
        EXPECT_FALSE(watcher_.IsWatchingDirectory(other));
        EXPECT_EQ(0u, watcher_.GetWorkerThreadId()) << "kind " << c.kind;
        EXPECT_EQ(0, handler_->GetWatchCount()) << "kind " << c.kind;
    }
}

// On_WatchStarted ends its own watch; On_ReadDirectoryChangesError watches the folder again.
TEST_F(Reentrancy, StartAndErrorHandlersMayCallTheWatcher) {
    DisarmFaults();
    WatcherTestPeer::SetOsCalls(watcher_, FaultyOsCalls());
    const std::string folder = Folder("started");
    BOOL unwatched = FALSE;
    handler_->action = [&](int kind, const std::string& path) {
        if (kind == kWatchStarted && path == folder)
            unwatched = watcher_.UnwatchDirectory(folder);
    };
    {
        Watchdog watchdog("unwatch from On_WatchStarted");
        ASSERT_EQ(0u, watcher_.WatchDirectory(folder, kNameChanges, handler_.get()));
        EXPECT_TRUE(PumpMessagesUntil([&] { return handler_->Count(kWatchStopped) == 1; }));
    }
    EXPECT_TRUE(unwatched);
    EXPECT_FALSE(watcher_.IsWatchingDirectory(folder));

    DWORD rewatched = 1;
    handler_->action = [&](int kind, const std::string& path) {
        if (kind == kReadDirectoryChangesError && path == folder)
            rewatched = watcher_.WatchDirectory(folder, kNameChanges, handler_.get());
    };
    ASSERT_EQ(0u, watcher_.WatchDirectory(folder, kNameChanges, handler_.get()));
    Faults().failReads = 1;
    WriteTextFile(folder + "\\fails.txt", "x");
    {
        Watchdog watchdog("watch from On_ReadDirectoryChangesError");
        ASSERT_TRUE(WaitFor(*handler_, kReadDirectoryChangesError, folder));
    }
    EXPECT_EQ(0u, rewatched);
    EXPECT_TRUE(watcher_.IsWatchingDirectory(folder));
    WriteTextFile(folder + "\\again.txt", "x");
    EXPECT_TRUE(WaitFor(*handler_, kFileAdded, folder + "\\again.txt"));
    handler_->action = nullptr;
    EXPECT_TRUE(watcher_.UnwatchAllDirectories());
    DisarmFaults();
}

} // namespace
