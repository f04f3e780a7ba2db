// The pull timer's owner: ticks on the thread that started it, and stops from that thread or from
// any other without leaving the owning thread anything of this code to run.
#include "registry/ThreadTimer.h"

#include "tests/registry/RegistryTestSupport.h"
#include "tests/support/TestSupport.h"
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <process.h>

#include <atomic>

namespace {

using registry_tests::Watchdog;
using test_support::PumpMessagesUntil;

constexpr UINT kPeriodMs = 50;
constexpr char kWindowClass[] = "Orvane_Thread_Timer";

struct Ticks {
    std::atomic<int> count{0};
    std::atomic<DWORD> thread{0};

    static void Count(void* self) {
        auto* ticks = static_cast<Ticks*>(self);
        ticks->thread = ::GetCurrentThreadId();
        ++ticks->count;
    }
};

// Of this process only: test programs that run beside this one have timer windows of their own.
bool AnyTimerWindow() {
    for (HWND window = nullptr; (window = ::FindWindowExA(HWND_MESSAGE, window, kWindowClass, nullptr));) {
        DWORD process = 0;
        ::GetWindowThreadProcessId(window, &process);
        if (process == ::GetCurrentProcessId())
            return true;
    }
    return false;
}

// Dispatches for a good number of periods: a tick that should not come has every chance to.
void DispatchForAWhile() {
    PumpMessagesUntil([] { return false; }, 10 * kPeriodMs);
}

TEST(ThreadTimer, TicksOnItsThreadWhileItDispatchesAndStopsThere) {
    Watchdog watchdog(60000, "the test");
    Ticks ticks;
    ThreadTimer timer;
    EXPECT_FALSE(timer.running());
    ASSERT_TRUE(timer.Start(kPeriodMs, Ticks::Count, &ticks));
    EXPECT_TRUE(timer.running());
    EXPECT_EQ(timer.thread(), ::GetCurrentThreadId());
    EXPECT_EQ(ticks.count, 0) << "ticks only while the thread dispatches";
    ASSERT_TRUE(PumpMessagesUntil([&] { return ticks.count >= 3; }));
    EXPECT_EQ(ticks.thread, ::GetCurrentThreadId());

    timer.Stop();
    EXPECT_FALSE(timer.running());
    EXPECT_EQ(timer.thread(), 0u);
    EXPECT_FALSE(AnyTimerWindow());
    const int stoppedAt = ticks.count;
    DispatchForAWhile();
    EXPECT_EQ(ticks.count, stoppedAt);
    timer.Stop(); // a second Stop does nothing
}

TEST(ThreadTimer, StartAgainReplacesTheTimerAndBadInputStartsNothing) {
    Watchdog watchdog(60000, "the test");
    Ticks first, second;
    {
        ThreadTimer timer;
        ASSERT_TRUE(timer.Start(kPeriodMs, Ticks::Count, &first));
        ASSERT_TRUE(timer.Start(kPeriodMs, Ticks::Count, &second));
        ASSERT_TRUE(PumpMessagesUntil([&] { return second.count >= 2; }));
        EXPECT_EQ(first.count, 0);

        EXPECT_FALSE(timer.Start(kPeriodMs, nullptr, &first));
        EXPECT_FALSE(timer.running()) << "a failed Start still stops the timer it replaces";
        ASSERT_TRUE(timer.Start(kPeriodMs, Ticks::Count, &first));
    } // the destructor stops it
    EXPECT_FALSE(AnyTimerWindow());
    const int firstAt = first.count, secondAt = second.count;
    DispatchForAWhile();
    EXPECT_EQ(first.count, firstAt);
    EXPECT_EQ(second.count, secondAt);
}

LRESULT CALLBACK ForeignProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcA(window, message, wParam, lParam);
}

// A class of the timer's name is reused only when its procedure is DefWindowProcA, as a class left
// by an earlier load of the library is.
TEST(ThreadTimer, RefusesAClassOfItsNameWithAnotherProcedure) {
    Watchdog watchdog(60000, "the test");
    const HINSTANCE self = ::GetModuleHandleA(nullptr); // where the timer's code lies in this test
    ::UnregisterClassA(kWindowClass, self);
    WNDCLASSA foreign{};
    foreign.lpfnWndProc = ForeignProc;
    foreign.hInstance = self;
    foreign.lpszClassName = kWindowClass;
    ASSERT_NE(::RegisterClassA(&foreign), 0);
    Ticks ticks;
    ThreadTimer timer;
    EXPECT_FALSE(timer.Start(kPeriodMs, Ticks::Count, &ticks));
    EXPECT_FALSE(timer.running());
    ASSERT_TRUE(::UnregisterClassA(kWindowClass, self));

    ASSERT_TRUE(timer.Start(kPeriodMs, Ticks::Count, &ticks));
    ASSERT_TRUE(PumpMessagesUntil([&] { return ticks.count >= 1; }));
}

// The owning thread is blocked, as a host waiting for the thread that unloads the library is, while
// the timer is stopped elsewhere; then it dispatches again.
struct BlockedOwner {
    ThreadTimer timer;
    Ticks ticks;
    bool started = false;
    int ticksAfterStop = -1;
    bool windowLeft = true;
    UniqueHandle ready{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle stopped{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};

    static unsigned __stdcall Run(void* argument) {
        auto* self = static_cast<BlockedOwner*>(argument);
        self->started = self->timer.Start(kPeriodMs, Ticks::Count, &self->ticks);
        ::SetEvent(self->ready.get());
        if (::WaitForSingleObject(self->stopped.get(), 30000) != WAIT_OBJECT_0)
            return 2;
        const int before = self->ticks.count;
        DispatchForAWhile();
        self->ticksAfterStop = self->ticks.count - before;
        self->windowLeft = AnyTimerWindow();
        return 0;
    }
};

TEST(ThreadTimer, StoppedFromAnotherThreadLeavesItsOwnerNothingToRun) {
    Watchdog watchdog(60000, "the test");
    BlockedOwner owner;
    UniqueHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, BlockedOwner::Run, &owner, 0, nullptr)));
    ASSERT_TRUE(thread);
    ASSERT_EQ(::WaitForSingleObject(owner.ready.get(), 20000), WAIT_OBJECT_0);
    ASSERT_TRUE(owner.started);
    EXPECT_NE(owner.timer.thread(), ::GetCurrentThreadId());

    const ULONGLONG t0 = TickCount64();
    owner.timer.Stop(); // no tick runs: the owner is blocked, so nothing is waited for
    EXPECT_LT(TickCount64() - t0, ULONGLONG(ThreadTimer::kTickWaitMs));
    EXPECT_FALSE(owner.timer.running());
    ::SetEvent(owner.stopped.get());

    ASSERT_EQ(::WaitForSingleObject(thread.get(), 30000), WAIT_OBJECT_0);
    DWORD code = 1;
    ::GetExitCodeThread(thread.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(owner.ticksAfterStop, 0);
    EXPECT_FALSE(owner.windowLeft) << "the owner's next dispatch closes the window";
}

struct EndedOwner {
    ThreadTimer timer;
    Ticks ticks;
    bool started = false;

    static unsigned __stdcall Run(void* argument) {
        auto* self = static_cast<EndedOwner*>(argument);
        self->started = self->timer.Start(kPeriodMs, Ticks::Count, &self->ticks);
        return 0; // the thread's end destroys its windows, and their timers with them
    }
};

TEST(ThreadTimer, StopAfterItsThreadEndedDoesNothingAndWaitsForNothing) {
    Watchdog watchdog(60000, "the test");
    EndedOwner owner;
    UniqueHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, EndedOwner::Run, &owner, 0, nullptr)));
    ASSERT_TRUE(thread);
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 30000), WAIT_OBJECT_0);
    ASSERT_TRUE(owner.started);
    EXPECT_TRUE(owner.timer.running());
    const ULONGLONG t0 = TickCount64();
    owner.timer.Stop();
    EXPECT_LT(TickCount64() - t0, ULONGLONG(ThreadTimer::kTickWaitMs));
    EXPECT_FALSE(owner.timer.running());
    EXPECT_FALSE(AnyTimerWindow());
}

// A tick that runs on the owning thread while another thread stops the timer: the stop waits for
// it, or for kTickWaitMs when it does not end.
struct TickDuringStop {
    ThreadTimer timer;
    DWORD holdMs = 0; // how long the tick waits for the stopping thread to finish
    std::atomic<bool> tickEnded{false};
    std::atomic<bool> stopSawTickEnded{false};
    DWORD stopperWait = WAIT_FAILED;
    UniqueHandle stopper;

    static unsigned __stdcall Stop(void* argument) {
        auto* self = static_cast<TickDuringStop*>(argument);
        self->timer.Stop();
        self->stopSawTickEnded = self->tickEnded.load();
        return 0;
    }

    static void OnTick(void* argument) {
        auto* self = static_cast<TickDuringStop*>(argument);
        if (self->stopper)
            return;
        self->stopper.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Stop, self, 0, nullptr)));
        self->stopperWait = ::WaitForSingleObject(self->stopper.get(), self->holdMs);
        self->tickEnded = true;
    }

    void Run() {
        ASSERT_TRUE(timer.Start(kPeriodMs, OnTick, this));
        ASSERT_TRUE(PumpMessagesUntil(
            [this] { return stopper && ::WaitForSingleObject(stopper.get(), 0) == WAIT_OBJECT_0; }, 30000));
        EXPECT_FALSE(timer.running());
    }
};

TEST(ThreadTimer, StopFromAnotherThreadWaitsForARunningTick) {
    Watchdog watchdog(60000, "the test");
    TickDuringStop scene;
    scene.holdMs = 300;
    scene.Run();
    EXPECT_EQ(scene.stopperWait, DWORD(WAIT_TIMEOUT)) << "Stop returned while the tick ran";
    EXPECT_TRUE(scene.stopSawTickEnded);
}

TEST(ThreadTimer, StopFromAnotherThreadGivesUpOnATickThatDoesNotEnd) {
    Watchdog watchdog(60000, "the test");
    TickDuringStop scene;
    scene.holdMs = 20000;
    scene.Run();
    EXPECT_EQ(scene.stopperWait, DWORD(WAIT_OBJECT_0)) << "Stop waited for the tick without a bound";
    EXPECT_FALSE(scene.stopSawTickEnded);
}

} // namespace
