// Deferred delivery across real threads, a real hidden window and the real delivery thread.
#include "tests/watcher/delivery/DeliveryTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <stdexcept>

namespace {

using delivery_tests::ExpectNoDeliveryPointsLeft;
using delivery_tests::RunOnThread;
using test_support::PumpMessagesUntil;
using test_support::PumpPendingMessages;
using test_support::RecordingHandler;

std::string FileName(int i) {
    return "C:\\w\\f" + std::to_string(i) + ".txt";
}

// A wrapper and its user handler, both reference counted, as a watch record holds them.
struct Wrapped {
    explicit Wrapped(bool useWindowDelivery, DWORD flags = NF_MATCH_FILE_NAME)
        : handler(new RecordingHandler()),
          wrapper(new CDelayedDirectoryChangeHandler(handler, useWindowDelivery, nullptr, nullptr, flags)) {}
    ~Wrapped() {
        // What the watch record does: detach and release the user handler, then release the wrapper.
        if (CDirectoryChangeHandler* detached = wrapper->DetachRealHandler())
            detached->Release();
        wrapper->Release();
    }
    // The wrapper's references: 1 (ours) when no record of it is queued any more.
    LONG WrapperReferences() {
        const LONG count = wrapper->AddRef();
        wrapper->Release();
        return count - 1;
    }

    RecordingHandler* handler;
    CDelayedDirectoryChangeHandler* wrapper;
};

class Delivery : public testing::Test {
protected:
    void TearDown() override {
        PumpPendingMessages();
        ExpectNoDeliveryPointsLeft();
    }
};

TEST_F(Delivery, WindowRecordsRunOnTheWindowThreadOnlyWhileItDispatches) {
    Wrapped w(true);
    ASSERT_TRUE(RunOnThread([&] {
        for (int i = 0; i < 100; ++i)
            w.wrapper->On_FileAdded(FileName(i));
        w.wrapper->On_FileNameChanged("C:\\w\\old.txt", "C:\\w\\new.txt");
        w.wrapper->On_FileRemoved("C:\\w\\gone.txt");
        w.wrapper->On_FileModified("C:\\w\\touched.txt");
        w.wrapper->On_ReadDirectoryChangesError(5, "C:\\w");
        w.wrapper->On_WatchStarted(0, "C:\\w");
    }));
    EXPECT_EQ(w.handler->Count(), 0u) << "delivered without dispatching";
    ASSERT_TRUE(PumpMessagesUntil([&] { return w.handler->Count() == 105; }));

    const auto calls = w.handler->Calls();
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(calls[i].text, "added " + FileName(i));
    EXPECT_EQ(calls[100].text, "renamed C:\\w\\old.txt -> C:\\w\\new.txt");
    EXPECT_EQ(calls[101].text, "removed C:\\w\\gone.txt");
    EXPECT_EQ(calls[102].text, "modified C:\\w\\touched.txt");
    EXPECT_EQ(calls[103].text, "error 5 C:\\w");
    EXPECT_EQ(calls[104].text, "started 0 C:\\w");
    for (const auto& call : calls)
        EXPECT_EQ(call.threadId, ::GetCurrentThreadId());
    EXPECT_EQ(w.WrapperReferences(), 1);
}

// The flush: when the posting thread's On_WatchStopped returns, every record posted before it has
// reached the handler, the watch-stopped one last.
TEST_F(Delivery, WatchStoppedReturnsOnlyAfterEveryEarlierRecordArrived) {
    for (bool useWindow : {true, false}) {
        SCOPED_TRACE(useWindow ? "window" : "thread");
        Wrapped w(useWindow);
        std::atomic<size_t> seenWhenStopReturned{0};
        ASSERT_TRUE(RunOnThread(
            [&] {
                for (int i = 0; i < 500; ++i)
                    w.wrapper->On_FileAdded(FileName(i));
                w.wrapper->On_WatchStopped("C:\\w");
                seenWhenStopReturned = w.handler->Count();
            },
            30000, useWindow));
        EXPECT_EQ(seenWhenStopReturned.load(), 501u);
        const auto texts = w.handler->Texts();
        ASSERT_EQ(texts.size(), 501u);
        EXPECT_EQ(texts.back(), "stopped C:\\w");
        const DWORD expectedThread =
            useWindow ? ::GetCurrentThreadId() : CDelayedNotificationThread::DeliveryThreadId();
        for (const auto& call : w.handler->Calls())
            EXPECT_EQ(call.threadId, expectedThread);
        // The watch-stopped record gives its wrapper back on the delivering thread just after the
        // handler returned, which may be a moment after the stop itself returned.
        EXPECT_TRUE(PumpMessagesUntil([&] { return w.WrapperReferences() == 1; }));
    }
}

TEST_F(Delivery, ThrowingHandlerNeitherStopsLaterDeliveriesNorLeaksRecords) {
    for (bool useWindow : {true, false}) {
        SCOPED_TRACE(useWindow ? "window" : "thread");
        Wrapped w(useWindow);
        w.handler->afterCall = [](const std::string& text) {
            if (text.find("boom") != std::string::npos || text.rfind("stopped", 0) == 0)
                throw std::runtime_error(text);
        };
        ASSERT_TRUE(RunOnThread(
            [&] {
                w.wrapper->On_FileAdded("C:\\w\\ok1");
                w.wrapper->On_FileAdded("C:\\w\\boom");
                w.wrapper->On_FileNameChanged("C:\\w\\boom", "C:\\w\\b");
                w.wrapper->On_WatchStarted(0, "C:\\boom");
                w.wrapper->On_FileAdded("C:\\w\\ok2");
                w.wrapper->On_WatchStopped("C:\\w");
                w.wrapper->On_FileAdded("C:\\w\\ok3");
            },
            30000, useWindow));
        ASSERT_TRUE(PumpMessagesUntil([&] { return w.handler->Count() == 7; }));
        EXPECT_EQ(w.handler->Texts(),
                  (std::vector<std::string>{"added C:\\w\\ok1", "added C:\\w\\boom",
                                            "renamed C:\\w\\boom -> C:\\w\\b", "started 0 C:\\boom",
                                            "added C:\\w\\ok2", "stopped C:\\w", "added C:\\w\\ok3"}));
        ASSERT_TRUE(PumpMessagesUntil([&] { return w.WrapperReferences() == 1; }));
    }
}

// The wait dispatches this thread's messages, so it also ends on the thread that owns the window.
// A WM_QUIT met meanwhile is not lost: it is posted again when the wait is over.
TEST_F(Delivery, WatchStoppedOnTheWindowThreadKeepsAQuitMetWhileWaiting) {
    Wrapped w(true);
    w.wrapper->On_FileAdded("C:\\w\\before");
    ::PostQuitMessage(42);
    w.wrapper->On_WatchStopped("C:\\w");
    EXPECT_EQ(w.handler->Texts(), (std::vector<std::string>{"added C:\\w\\before", "stopped C:\\w"}));
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, UINT(WM_QUIT));
    EXPECT_EQ(msg.wParam, WPARAM(42));
    EXPECT_FALSE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "one quit, not two";
}

TEST_F(Delivery, FlagsSuppressWatchStartedAndWatchStopped) {
    Wrapped started(true, NF_MATCH_FILE_NAME | NF_NO_WATCH_STARTED);
    started.wrapper->On_WatchStarted(0, "C:\\w");
    started.wrapper->On_WatchStopped("C:\\w");
    started.wrapper->On_FileAdded("C:\\w\\a");
    ASSERT_TRUE(PumpMessagesUntil([&] { return started.handler->Count() == 2; }));
    EXPECT_EQ(started.handler->Texts(), (std::vector<std::string>{"stopped C:\\w", "added C:\\w\\a"}));

    // Without the watch-stopped record nothing is waited for: the posting thread returns at once
    // although this thread, which owns the window, does not dispatch.
    Wrapped stopped(true, NF_MATCH_FILE_NAME | NF_NO_WATCH_STOPPED);
    ASSERT_TRUE(RunOnThread([&] {
        stopped.wrapper->On_WatchStarted(3, "C:\\w");
        stopped.wrapper->On_WatchStopped("C:\\w");
    }));
    ASSERT_TRUE(PumpMessagesUntil([&] { return stopped.handler->Count() == 1; }));
    PumpPendingMessages();
    EXPECT_EQ(stopped.handler->Texts(), std::vector<std::string>{"started 3 C:\\w"});
}

TEST_F(Delivery, RecordsOfADetachedHandlerAreReleasedWithoutACall) {
    Wrapped w(true);
    for (int i = 0; i < 3; ++i)
        w.wrapper->On_FileAdded(FileName(i));
    CDirectoryChangeHandler* detached = w.wrapper->DetachRealHandler();
    ASSERT_EQ(detached, w.handler);
    EXPECT_EQ(w.wrapper->GetRealHandler(), nullptr);
    ASSERT_TRUE(PumpMessagesUntil([&] { return w.WrapperReferences() == 1; }));
    EXPECT_EQ(w.handler->Count(), 0u);
    // The watch-stopped wait still ends: a detached handler must not leave the worker waiting.
    ASSERT_TRUE(RunOnThread([&] { w.wrapper->On_WatchStopped("C:\\w"); }, 20000, true));
    EXPECT_EQ(w.handler->Count(), 0u);
    detached->Release();
}

// A wrapper released while records of it are still queued (a failed re-read, or no watch-stopped
// flush) lives on until they are delivered; their delivery reaches no handler and then frees it.
TEST_F(Delivery, RecordsOutliveTheirWrapperSafely) {
    for (bool useWindow : {true, false}) {
        SCOPED_TRACE(useWindow ? "window" : "thread");
        bool handlerDestroyed = false;
        auto* handler = new RecordingHandler(&handlerDestroyed);
        auto* wrapper =
            new CDelayedDirectoryChangeHandler(handler, useWindow, nullptr, nullptr, NF_MATCH_FILE_NAME);
        handler->AddRef(); // the watch record's reference
        UniqueHandle release(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!useWindow) {
            // Hold the delivery thread inside the first delivery until the teardown is done.
            handler->afterCall = [&](const std::string&) { ::WaitForSingleObject(release.get(), 20000); };
        }
        wrapper->On_FileAdded("C:\\w\\first");
        wrapper->On_ReadDirectoryChangesError(ERROR_ACCESS_DENIED, "C:\\w");
        wrapper->On_FileAdded("C:\\w\\late");
        // The watch record's teardown: take the handler out, release both references on it.
        wrapper->DetachRealHandler()->Release();
        wrapper->Release();
        handler->Release();
        ::SetEvent(release.get());
        ASSERT_TRUE(PumpMessagesUntil([&] {
            return CDelayedNotificationWindow::ReferenceCount() == 0 &&
                   CDelayedNotificationThread::ReferenceCount() == 0;
        }));
        EXPECT_TRUE(handlerDestroyed);
        ASSERT_TRUE(PumpMessagesUntil([] { return CDelayedNotificationThread::DeliveryThreadId() == 0; }));
    }
}

// A delivery point that is gone (the window died with the thread that made it) cannot deliver:
// records are released at once and the watch-stopped wait is skipped. A later wrapper gets a new,
// working window.
TEST_F(Delivery, NoDeliveryPointMeansNoHangAndNoLeak) {
    Wrapped* orphan = nullptr;
    ASSERT_TRUE(RunOnThread([&] { orphan = new Wrapped(true); }));
    ASSERT_NE(orphan, nullptr);
    EXPECT_FALSE(::IsWindow(CDelayedNotificationWindow::SharedWindow()));
    orphan->wrapper->On_FileAdded("C:\\w\\lost");
    EXPECT_TRUE(RunOnThread([&] { orphan->wrapper->On_WatchStopped("C:\\w"); }, 20000));
    EXPECT_EQ(orphan->WrapperReferences(), 1);

    Wrapped fresh(true);
    EXPECT_TRUE(::IsWindow(CDelayedNotificationWindow::SharedWindow()));
    ASSERT_TRUE(RunOnThread([&] {
        fresh.wrapper->On_FileAdded("C:\\w\\delivered");
        orphan->wrapper->On_FileAdded("C:\\w\\also");
    }));
    ASSERT_TRUE(
        PumpMessagesUntil([&] { return fresh.handler->Count() == 1 && orphan->handler->Count() == 1; }));
    EXPECT_EQ(orphan->handler->Texts(), std::vector<std::string>{"added C:\\w\\also"});
    delete orphan;
}

TEST_F(Delivery, NotifyDirectoryReachesTheRealHandler) {
    Wrapped w(true);
    w.wrapper->SetNotifyDirectory("C:\\watched");
    EXPECT_EQ(w.wrapper->GetNotifyDirectory(), "C:\\watched");
    EXPECT_EQ(w.handler->GetNotifyDirectory(), "C:\\watched");
    w.wrapper->DetachRealHandler()->Release();
    w.wrapper->SetNotifyDirectory("C:\\other");
    EXPECT_EQ(w.wrapper->GetNotifyDirectory(), "C:\\other");
}

// The window that took a stop record goes away with its thread before it dispatched anything, and a
// new window replaces it: the records move there, and the wait for the stop's delivery goes on
// until the new window has delivered it (the wait's slice is 5 s; the new window is served later).
TEST_F(Delivery, AStopWaitOutlastsTheReplacementOfItsWindow) {
    std::unique_ptr<Wrapped> watch;
    UniqueHandle release(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle ready(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> waitReturned{false};
    std::atomic<size_t> deliveredAtReturn{0};
    std::thread owner([&] {
        watch = std::make_unique<Wrapped>(true);
        ::SetEvent(ready.get());
        ::WaitForSingleObject(release.get(), 20000); // dispatches nothing: the records stay queued
    });
    ASSERT_EQ(::WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);
    const HWND first = CDelayedNotificationWindow::SharedWindow();
    std::thread stopper([&] {
        watch->wrapper->On_FileAdded(FileName(0));
        watch->wrapper->On_WatchStopped("C:\\w");
        deliveredAtReturn = watch->handler->Count();
        waitReturned = true;
    });
    ASSERT_TRUE(PumpMessagesUntil([&] { return watch->WrapperReferences() == 3; }, 20000))
        << "both records queued";
    ::SetEvent(release.get());
    owner.join();
    ASSERT_FALSE(::IsWindow(first));

    Wrapped replacement(true);
    EXPECT_NE(CDelayedNotificationWindow::SharedWindow(), first);
    // Past one slice of the stop wait without serving the new window: the wait must still be on.
    EXPECT_FALSE(RunOnThread(
        [&] {
            while (!waitReturned)
                ::SwitchToThread();
        },
        6500));
    ASSERT_TRUE(PumpMessagesUntil([&] { return waitReturned.load(); }, 20000));
    stopper.join();
    EXPECT_EQ(deliveredAtReturn.load(), 2u) << "the stop returned before its records were delivered";
    EXPECT_EQ(watch->handler->Texts(), (std::vector<std::string>{"added " + FileName(0), "stopped C:\\w"}));
    watch.reset();
}

} // namespace
