// The 64-bit tick where only GetTickCount's 32 bits exist (Windows XP and Server 2003): driven across
// the wrap at 0xFFFFFFFF by a source the test advances, from one thread and from several at once.
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// The true 64-bit time behind the fake source; the source hands out its low 32 bits.
std::atomic<ULONGLONG> g_now{0};
std::atomic<ULONGLONG> g_step{0};

DWORD WINAPI FakeTick() {
    return static_cast<DWORD>(g_now.fetch_add(g_step.load()) + g_step.load());
}

void StartAt(ULONGLONG now, ULONGLONG step) {
    g_now = now;
    g_step = step;
}

TEST(Tick, CountsOnAcrossTheWrap) {
    StartAt(0xFFFFFF00, 0x80);
    TickExtender tick(&FakeTick);
    EXPECT_EQ(tick.Now(), 0xFFFFFF80u);
    EXPECT_EQ(tick.Now(), 0x100000000u);
    EXPECT_EQ(tick.Now(), 0x100000080u);
    g_now = 0x1FFFFFFF0;
    EXPECT_EQ(tick.Now(), 0x200000070u) << "a second wrap";
}

TEST(Tick, TheSameReadingIsNoWrap) {
    StartAt(0x12345678, 0);
    TickExtender tick(&FakeTick);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tick.Now(), 0x12345678u);
}

TEST(Tick, ALongPauseShortOfAWrapIsStillCounted) {
    StartAt(0x10, 0);
    TickExtender tick(&FakeTick);
    EXPECT_EQ(tick.Now(), 0x10u);
    g_now = 0x10000000F; // one millisecond short of a whole wrap later
    EXPECT_EQ(tick.Now(), 0x10000000Fu);
}

// Each reading advances the time by a 256th of the wrap, so the threads together wrap it dozens of
// times. A reading taken before another thread's later one was published, and then taken for a
// wrap, would jump 49.7 days ahead of the true time.
TEST(Tick, ThreadsReadingAtOnceNeverJumpAheadOrGoBack) {
    StartAt(0, 0x01000000);
    TickExtender tick(&FakeTick);
    constexpr int kThreads = 4;
    constexpr int kReadings = 5000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ULONGLONG previous = 0;
            for (int i = 0; i < kReadings; ++i) {
                const ULONGLONG now = tick.Now();
                if (now < previous || now > g_now.load())
                    ++failures;
                previous = now;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(g_now.load(), 50 * 0x100000000ull);
    const ULONGLONG last = tick.Now(); // advances the time itself: read first
    EXPECT_EQ(last, g_now.load()) << "the last reading is the true time";
}

TEST(Tick, TheSystemTickMovesForward) {
    const ULONGLONG first = TickCount64();
    EXPECT_GT(first, 0u);
    const ULONGLONG later = TickCount64();
    EXPECT_GE(later, first);
    EXPECT_LT(later - first, 60000u);
}

} // namespace
