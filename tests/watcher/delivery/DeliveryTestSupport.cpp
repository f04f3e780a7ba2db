#include "tests/watcher/delivery/DeliveryTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <process.h>

#include <atomic>
#include <memory>
#include <stdexcept>

namespace delivery_tests {

namespace {

unsigned __stdcall RunBody(void* parameter) {
    auto* body = static_cast<std::function<void()>*>(parameter);
    try {
        (*body)();
    } catch (...) {
    }
    return 0;
}

} // namespace

bool RunOnThread(const std::function<void()>& body, DWORD timeoutMs, bool pump) {
    // The body outlives a thread that misses its deadline, so it is copied to the heap and leaked then.
    auto* copy = new std::function<void()>(body);
    UniqueHandle thread(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, RunBody, copy, 0, nullptr)));
    if (!thread) {
        delete copy;
        return false;
    }
    bool finished;
    if (pump) {
        finished = test_support::PumpMessagesUntil(
            [&] { return ::WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0; }, timeoutMs);
    } else {
        finished = ::WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    if (finished)
        delete copy;
    return finished;
}

// The last record of a wrapper gives back its reference after the delivery it carried, on the
// delivering thread: the wrapper, and the sender it owns, may go a moment after a test's own release.
void ExpectNoDeliveryPointsLeft() {
    test_support::PumpMessagesUntil(
        [] {
            return CDelayedNotificationWindow::ReferenceCount() == 0 &&
                   CDelayedNotificationThread::ReferenceCount() == 0 &&
                   CDelayedNotificationThread::DeliveryThreadId() == 0;
        },
        20000);
    EXPECT_EQ(CDelayedNotificationWindow::ReferenceCount(), 0);
    EXPECT_EQ(CDelayedNotificationWindow::SharedWindow(), nullptr);
    EXPECT_EQ(CDelayedNotificationThread::ReferenceCount(), 0);
    EXPECT_EQ(CDelayedNotificationThread::DeliveryThreadId(), 0u);
}

} // namespace delivery_tests
