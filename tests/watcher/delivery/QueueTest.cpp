// Records wait at their delivery point and its thread is sent one wake at a time: a burst posted
// while that thread is busy costs its message queue one message, and nothing of it is lost or
// reordered, also when a delivery dispatches messages itself or the window's thread goes away.
#include "tests/watcher/delivery/DeliveryTestSupport.h"

#include "tests/support/TestSupport.h"
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

using delivery_tests::ExpectNoDeliveryPointsLeft;
using delivery_tests::RunOnThread;
using test_support::PumpMessagesUntil;
using test_support::PumpPendingMessages;
using test_support::RecordingHandler;

constexpr int kBurst = 20000;

std::string PathOf(int index) {
    return "C:\\w\\f" + std::to_string(index);
}

// A wrapper around a recording handler, detached and released with the test.
struct Watch {
    explicit Watch(bool useWindow)
        : handler(new RecordingHandler()), wrapper(new CDelayedDirectoryChangeHandler(
                                               handler, useWindow, nullptr, nullptr, NF_MATCH_FILE_NAME)) {}
    ~Watch() {
        wrapper->DetachRealHandler();
        wrapper->Release();
        handler->Release();
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    RecordingHandler* handler;
    CDelayedDirectoryChangeHandler* wrapper;
};

void ExpectBurstInOrder(const RecordingHandler& handler, DWORD threadId) {
    const std::vector<test_support::Delivery> calls = handler.Calls();
    ASSERT_EQ(calls.size(), size_t(kBurst));
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_EQ(calls[size_t(i)].text, "added " + PathOf(i)) << "at " << i;
        ASSERT_EQ(calls[size_t(i)].threadId, threadId) << "at " << i;
    }
}

class DeliveryQueue : public testing::Test {
protected:
    void TearDown() override {
        PumpPendingMessages();
        ExpectNoDeliveryPointsLeft();
    }
};

// On Windows a thread's message queue takes at most 10,000 posted messages; a message per record
// would lose half of this burst.
TEST_F(DeliveryQueue, ABurstWhileTheWindowThreadIsBusyWaitsBehindOneMessage) {
    Watch watch(true);
    ASSERT_TRUE(RunOnThread([&] {
        for (int i = 0; i < kBurst; ++i)
            watch.wrapper->On_FileAdded(PathOf(i));
    }));
    EXPECT_EQ(watch.handler->Count(), 0u) << "nothing runs while this thread dispatches nothing";

    // The window's renewal timer may come by too; it is no message per record either.
    std::vector<MSG> waiting;
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message != WM_TIMER)
            waiting.push_back(msg);
    }
    EXPECT_EQ(waiting.size(), 1u);
    for (const MSG& one : waiting)
        ::DispatchMessageA(&one);
    ASSERT_TRUE(PumpMessagesUntil([&] { return watch.handler->Count() == size_t(kBurst); }));
    ExpectBurstInOrder(*watch.handler, ::GetCurrentThreadId());
}

// A long run of records is delivered in turns, so the thread's other messages are not held back
// until the whole run is through.
TEST_F(DeliveryQueue, OtherMessagesOfTheWindowThreadRunBetweenTurns) {
    Watch watch(true);
    ASSERT_TRUE(RunOnThread([&] {
        for (int i = 0; i < kBurst; ++i)
            watch.wrapper->On_FileAdded(PathOf(i));
    }));
    constexpr UINT kOwnMessage = WM_APP + 77;
    ASSERT_TRUE(::PostThreadMessageA(::GetCurrentThreadId(), kOwnMessage, 0, 0));
    size_t deliveredBeforeOwnMessage = 0;
    bool ownMessageSeen = false;
    const ULONGLONG deadline = TickCount64() + 20000;
    while (watch.handler->Count() < size_t(kBurst) && TickCount64() < deadline) {
        MSG msg;
        if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            continue;
        }
        if (msg.message == kOwnMessage && !ownMessageSeen) {
            ownMessageSeen = true;
            deliveredBeforeOwnMessage = watch.handler->Count();
        }
        ::DispatchMessageA(&msg);
    }
    ASSERT_TRUE(ownMessageSeen);
    EXPECT_GT(deliveredBeforeOwnMessage, 0u);
    EXPECT_LT(deliveredBeforeOwnMessage, size_t(kBurst));
    ExpectBurstInOrder(*watch.handler, ::GetCurrentThreadId());
}

TEST_F(DeliveryQueue, ABurstThroughTheDeliveryThreadArrivesWholeAndInOrder) {
    Watch watch(false);
    const DWORD deliveryThread = CDelayedNotificationThread::DeliveryThreadId();
    ASSERT_TRUE(RunOnThread([&] {
        for (int i = 0; i < kBurst; ++i)
            watch.wrapper->On_FileAdded(PathOf(i));
        watch.wrapper->On_WatchStopped("C:\\w");
    }));
    std::vector<test_support::Delivery> calls = watch.handler->Calls();
    ASSERT_EQ(calls.size(), size_t(kBurst) + 1);
    EXPECT_EQ(calls.back().text, "stopped C:\\w");
    calls.pop_back();
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_EQ(calls[size_t(i)].text, "added " + PathOf(i)) << "at " << i;
        ASSERT_EQ(calls[size_t(i)].threadId, deliveryThread) << "at " << i;
    }
}

// A handler that waits, dispatching messages, for records queued behind its own: the records it
// waits for must still come, on this thread, in order.
TEST_F(DeliveryQueue, ADeliveryThatDispatchesMessagesStillGetsTheRecordsBehindIt) {
    Watch watch(true);
    bool nestedDone = false;
    watch.handler->afterCall = [&](const std::string& text) {
        if (text == "added " + PathOf(0))
            nestedDone = PumpMessagesUntil([&] { return watch.handler->Count() == 3; }, 20000);
    };
    ASSERT_TRUE(RunOnThread([&] {
        for (int i = 0; i < 3; ++i)
            watch.wrapper->On_FileAdded(PathOf(i));
    }));
    ASSERT_TRUE(PumpMessagesUntil([&] { return watch.handler->Count() == 3; }));
    EXPECT_TRUE(nestedDone);
    EXPECT_EQ(watch.handler->Texts(),
              (std::vector<std::string>{"added " + PathOf(0), "added " + PathOf(1), "added " + PathOf(2)}));
}

// The worker's watch-stopped wait needs the delivery even when the window's thread is inside a
// delivery that waits for something else.
TEST_F(DeliveryQueue, AStopFlushCompletesWhileTheWindowThreadIsInsideADelivery) {
    Watch watch(true);
    bool stopReturned = false;
    watch.handler->afterCall = [&](const std::string& text) {
        if (text == "added " + PathOf(0))
            PumpMessagesUntil([&] { return stopReturned; }, 20000);
    };
    ASSERT_TRUE(RunOnThread(
        [&] {
            watch.wrapper->On_FileAdded(PathOf(0));
            watch.wrapper->On_FileAdded(PathOf(1));
            watch.wrapper->On_WatchStopped("C:\\w");
            stopReturned = true;
        },
        20000, true));
    EXPECT_EQ(watch.handler->Texts(),
              (std::vector<std::string>{"added " + PathOf(0), "added " + PathOf(1), "stopped C:\\w"}));
}

// Records queued for a window whose thread ended before it took them go to the next window.
TEST_F(DeliveryQueue, RecordsLeftByAWindowWhoseThreadEndedReachTheNextWindow) {
    std::unique_ptr<Watch> orphaned;
    ASSERT_TRUE(RunOnThread([&] {
        orphaned = std::make_unique<Watch>(true);
        for (int i = 0; i < 5; ++i)
            orphaned->wrapper->On_FileAdded(PathOf(i));
    }));
    EXPECT_EQ(orphaned->handler->Count(), 0u);

    Watch next(true);
    const HWND window = CDelayedNotificationWindow::SharedWindow();
    ASSERT_TRUE(::IsWindow(window));
    EXPECT_EQ(::GetWindowThreadProcessId(window, nullptr), ::GetCurrentThreadId());
    ASSERT_TRUE(PumpMessagesUntil([&] { return orphaned->handler->Count() == 5; }));
    for (const auto& call : orphaned->handler->Calls())
        EXPECT_EQ(call.threadId, ::GetCurrentThreadId());
    orphaned.reset();
}

// A modal loop inside a delivery that throws away what it does not know (as a message box's loop
// drops thread messages) takes the wake of a record queued meanwhile. That record, and every later
// one, must still come.
void ExpectNothingStrandedBehindADroppedWake(bool useWindow) {
    Watch watch(useWindow);
    std::atomic<bool> inModalLoop{false};
    std::atomic<bool> secondQueued{false};
    std::atomic<int> droppedWakes{0};
    watch.handler->afterCall = [&](const std::string& text) {
        if (text != "added " + PathOf(0))
            return;
        inModalLoop = true;
        const ULONGLONG deadline = TickCount64() + 10000;
        while (TickCount64() < deadline) {
            MSG msg;
            if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message >= WM_DELAYED_NOTIFICATION && msg.message <= WM_DELAYED_NOTIFICATION + 0xFF)
                    ++droppedWakes;
                continue;
            }
            if (secondQueued && droppedWakes > 0)
                return;
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    };
    const auto post = [&] {
        watch.wrapper->On_FileAdded(PathOf(0));
        const ULONGLONG deadline = TickCount64() + 10000;
        while (!inModalLoop && TickCount64() < deadline)
            ::SwitchToThread();
        watch.wrapper->On_FileAdded(PathOf(1));
        secondQueued = true;
    };
    const auto delivered = [&](size_t count) {
        return useWindow ? PumpMessagesUntil([&] { return watch.handler->Count() == count; })
                         : RunOnThread([&] {
                               while (watch.handler->Count() != count)
                                   ::SwitchToThread();
                           });
    };
    ASSERT_TRUE(RunOnThread(post, 20000, useWindow));
    ASSERT_TRUE(delivered(2));
    EXPECT_GT(droppedWakes.load(), 0) << "the modal loop took the wake";
    ASSERT_TRUE(RunOnThread([&] { watch.wrapper->On_FileAdded(PathOf(2)); }));
    ASSERT_TRUE(delivered(3)) << "a record behind a thrown-away wake was stranded";
    EXPECT_EQ(watch.handler->Texts(),
              (std::vector<std::string>{"added " + PathOf(0), "added " + PathOf(1), "added " + PathOf(2)}));
}

TEST_F(DeliveryQueue, AWakeDroppedByAModalLoopOnTheWindowThreadStrandsNothing) {
    ExpectNothingStrandedBehindADroppedWake(true);
}

TEST_F(DeliveryQueue, AWakeDroppedByAModalLoopOnTheDeliveryThreadStrandsNothing) {
    ExpectNothingStrandedBehindADroppedWake(false);
}

} // namespace
