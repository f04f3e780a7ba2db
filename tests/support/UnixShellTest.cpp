// Linux programs started from a test under Wine: the script runs, and starting it closes nothing of
// the caller's. Wine makes no Windows process for a Linux program and hands back, as its process and
// thread handles, whatever its own stack held; closing those once closed a test thread's
// message-queue handle, and every later message wait of that thread slept through its messages.
#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using test_support::FileExists;
using test_support::PumpMessagesUntil;
using test_support::StartUnixShell;
using test_support::TempDir;
using test_support::UnixPathOf;

// Leaves the stack below the caller full of one value, so that a slot Wine copies out without
// setting it reads as that value.
__attribute__((noinline)) void FillStackBelow(HANDLE value) {
    volatile HANDLE slots[4096];
    for (volatile HANDLE& slot : slots)
        slot = value;
}

bool StillOpen(HANDLE handle) {
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

TEST(UnixShell, RunsTheScriptAndClosesNoHandleOfTheCaller) {
    TempDir dir("shell");
    const std::string unixDir = UnixPathOf(dir.path());
    if (unixDir.empty())
        GTEST_SKIP() << "Linux programs run only under Wine";
    const UniqueHandle sentinel(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(sentinel.valid());

    constexpr int kRuns = 3;
    for (int run = 0; run < kRuns; ++run) {
        FillStackBelow(sentinel.get());
        ASSERT_TRUE(StartUnixShell("touch '" + unixDir + "/ran-" + std::to_string(run) + "'"));
        EXPECT_TRUE(StillOpen(sentinel.get()))
            << "the start of run " << run << " closed a handle of the caller";
    }
    for (int run = 0; run < kRuns; ++run) {
        const std::string mark = dir / ("ran-" + std::to_string(run));
        EXPECT_TRUE(PumpMessagesUntil([&] { return FileExists(mark); })) << mark;
    }
}

} // namespace
