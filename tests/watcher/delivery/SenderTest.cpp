// The shared hidden window and the shared delivery thread, and how senders share them.
#include "tests/watcher/delivery/DeliveryTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

using delivery_tests::ExpectNoDeliveryPointsLeft;
using delivery_tests::RunOnThread;
using test_support::PumpMessagesUntil;
using test_support::PumpPendingMessages;
using test_support::RecordingHandler;

class Senders : public testing::Test {
protected:
    void TearDown() override {
        PumpPendingMessages();
        ExpectNoDeliveryPointsLeft();
    }
};

std::string ClassName(HWND window) {
    char text[64] = {};
    ::GetClassNameA(window, text, sizeof text);
    return text;
}

std::string Title(HWND window) {
    char text[64] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

TEST_F(Senders, WindowSendersShareOneHiddenWindow) {
    auto first = std::make_unique<CDelayedNotificationWindow>();
    const HWND window = CDelayedNotificationWindow::SharedWindow();
    ASSERT_TRUE(::IsWindow(window));
    EXPECT_EQ(ClassName(window), "Delayed_Message_Sender");
    EXPECT_EQ(Title(window), "DelayedWnd");
    EXPECT_FALSE(::IsWindowVisible(window));
    EXPECT_EQ(::GetWindowThreadProcessId(window, nullptr), ::GetCurrentThreadId());

    auto second = std::make_unique<CDelayedNotificationWindow>();
    EXPECT_EQ(CDelayedNotificationWindow::ReferenceCount(), 2);
    EXPECT_EQ(CDelayedNotificationWindow::SharedWindow(), window);
    first.reset();
    EXPECT_TRUE(::IsWindow(window));
    second.reset();
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(CDelayedNotificationWindow::SharedWindow(), nullptr);

    auto third = std::make_unique<CDelayedNotificationWindow>();
    EXPECT_TRUE(::IsWindow(CDelayedNotificationWindow::SharedWindow()));
}

TEST_F(Senders, WindowIgnoresAnEmptyRecordAndKeepsDefaultBehaviourForOtherMessages) {
    CDelayedNotificationWindow sender;
    const HWND window = CDelayedNotificationWindow::SharedWindow();
    EXPECT_EQ(::SendMessageA(window, WM_DELAYED_NOTIFICATION, 0, 0), 0);
    char text[32] = {};
    EXPECT_EQ(::SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)), 10);
    EXPECT_STREQ(text, "DelayedWnd");
    EXPECT_TRUE(sender.PostNotification(nullptr));
    PumpPendingMessages();
}

// The last sender destroyed on a thread that does not own the window: the handle is cleared at
// once, the window is retired by its own thread when that thread next dispatches, and a later sender
// gets a new, working window.
TEST_F(Senders, LastWindowSenderDestroyedOnAnotherThreadRetiresTheWindowOnItsOwnThread) {
    auto* sender = new CDelayedNotificationWindow();
    const HWND window = CDelayedNotificationWindow::SharedWindow();
    ASSERT_TRUE(RunOnThread([&] { delete sender; }));
    EXPECT_EQ(CDelayedNotificationWindow::SharedWindow(), nullptr);
    EXPECT_TRUE(::IsWindow(window)) << "only its own thread may destroy it";
    // Its own thread may dispatch its messages only after the library was unloaded: none of them
    // may reach the library's code any more.
    EXPECT_EQ(::GetWindowLongPtrA(window, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&::DefWindowProcA));
    ASSERT_TRUE(PumpMessagesUntil([&] { return !::IsWindow(window); }));

    auto* handler = new RecordingHandler();
    auto* wrapper = new CDelayedDirectoryChangeHandler(handler, true, nullptr, nullptr, NF_MATCH_FILE_NAME);
    EXPECT_TRUE(::IsWindow(CDelayedNotificationWindow::SharedWindow()));
    ASSERT_TRUE(RunOnThread([&] { wrapper->On_FileAdded("C:\\w\\a"); }));
    ASSERT_TRUE(PumpMessagesUntil([&] { return handler->Count() == 1; }));
    wrapper->DetachRealHandler();
    wrapper->Release();
    handler->Release();
}

TEST_F(Senders, ThreadSendersShareOneDeliveryThread) {
    auto first = std::make_unique<CDelayedNotificationThread>();
    const DWORD threadId = CDelayedNotificationThread::DeliveryThreadId();
    ASSERT_NE(threadId, 0u);
    EXPECT_NE(threadId, ::GetCurrentThreadId());
    // Ready when the constructor returns: its queue takes posts at once.
    EXPECT_TRUE(::PostThreadMessageA(threadId, WM_USER + 7, 0, 0));

    auto second = std::make_unique<CDelayedNotificationThread>();
    EXPECT_EQ(CDelayedNotificationThread::ReferenceCount(), 2);
    EXPECT_EQ(CDelayedNotificationThread::DeliveryThreadId(), threadId);
    first.reset();
    EXPECT_EQ(CDelayedNotificationThread::DeliveryThreadId(), threadId);

    UniqueHandle thread(::OpenThread(SYNCHRONIZE, FALSE, threadId));
    ASSERT_TRUE(thread);
    second.reset();
    EXPECT_EQ(CDelayedNotificationThread::DeliveryThreadId(), 0u);
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0) << "the thread has ended";

    auto third = std::make_unique<CDelayedNotificationThread>();
    EXPECT_NE(CDelayedNotificationThread::DeliveryThreadId(), 0u);
}

TEST_F(Senders, DeliveryThreadDropsEmptyRecordsAndOtherMessages) {
    auto* handler = new RecordingHandler();
    auto* wrapper = new CDelayedDirectoryChangeHandler(handler, false, nullptr, nullptr, NF_MATCH_FILE_NAME);
    const DWORD threadId = CDelayedNotificationThread::DeliveryThreadId();
    EXPECT_TRUE(::PostThreadMessageA(threadId, WM_DELAYED_NOTIFICATION, 0, 0));
    EXPECT_TRUE(::PostThreadMessageA(threadId, WM_USER, 1, 2));
    EXPECT_TRUE(::PostThreadMessageA(threadId, WM_TIMER, 1, 0));
    wrapper->On_FileAdded("C:\\w\\a");
    wrapper->On_WatchStopped("C:\\w");
    EXPECT_EQ(handler->Texts(), (std::vector<std::string>{"added C:\\w\\a", "stopped C:\\w"}));
    EXPECT_EQ(CDelayedNotificationThread::DeliveryThreadId(), threadId);
    wrapper->DetachRealHandler();
    wrapper->Release();
    handler->Release();
}

// Records posted before the last thread sender goes are still delivered before the thread ends;
// here the last sender goes with the wrapper, which its last record releases on the thread itself.
TEST_F(Senders, StoppingTheDeliveryThreadDeliversWhatWasPostedFirst) {
    auto* handler = new RecordingHandler();
    auto* wrapper = new CDelayedDirectoryChangeHandler(handler, false, nullptr, nullptr, NF_MATCH_FILE_NAME);
    const DWORD threadId = CDelayedNotificationThread::DeliveryThreadId();
    UniqueHandle thread(::OpenThread(SYNCHRONIZE, FALSE, threadId));
    ASSERT_TRUE(thread);
    for (int i = 0; i < 50; ++i)
        wrapper->On_FileAdded("C:\\w\\" + std::to_string(i));
    wrapper->Release();
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 20000), WAIT_OBJECT_0);
    EXPECT_EQ(handler->Count(), 50u);
    for (const auto& call : handler->Calls())
        EXPECT_EQ(call.threadId, threadId);
    handler->Release();
}

std::atomic<int> staleCalls{0};

LRESULT CALLBACK StaleWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_DELAYED_NOTIFICATION && message <= WM_DELAYED_NOTIFICATION + 0xFF)
        ++staleCalls;
    return ::DefWindowProcA(window, message, wParam, lParam);
}

// A class of the same name registered for the host by an earlier load of the library, whose window
// procedure would be gone: the engine must not make its window of that class.
TEST_F(Senders, AStaleWindowClassIsReplacedByOurs) {
    ASSERT_TRUE(CDelayedNotificationWindow::UnregisterWindowClass());
    WNDCLASSA stale{};
    stale.lpfnWndProc = StaleWindowProc;
    stale.hInstance = ::GetModuleHandleA(nullptr);
    stale.lpszClassName = "Delayed_Message_Sender";
    ASSERT_NE(::RegisterClassA(&stale), 0);

    auto* handler = new RecordingHandler();
    auto* wrapper = new CDelayedDirectoryChangeHandler(handler, true, nullptr, nullptr, NF_MATCH_FILE_NAME);
    const HWND window = CDelayedNotificationWindow::SharedWindow();
    ASSERT_TRUE(::IsWindow(window));
    EXPECT_NE(::GetWindowLongPtrA(window, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&StaleWindowProc));
    ASSERT_TRUE(RunOnThread([&] { wrapper->On_FileAdded("C:\\w\\a"); }));
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler->Count() == 1; }));
    EXPECT_EQ(staleCalls.load(), 0);
    wrapper->DetachRealHandler();
    wrapper->Release();
    handler->Release();
}

} // namespace
