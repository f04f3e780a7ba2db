// Starting and ending watches: the checks of WatchDirectory and their order, one watch per name,
// the array and its holes, ending everything, handlers moving between watchers, and what a watch
// holds on the system (privileges, the directory without delete sharing).
#include "tests/watcher/core/CoreTestSupport.h"
#include "tests/watcher/core/WatcherTestPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using namespace core_tests;
using test_support::PumpPendingMessages;
using test_support::TempDir;
using test_support::WriteTextFile;

namespace {

class WatchLifecycle : public testing::Test {
protected:
    void TearDown() override { PumpPendingMessages(); }
    TempDir dir_{"core"};
};

TEST_F(WatchLifecycle, ChecksComeInTheirOrderAndOpenNothing) {
    const std::string missing = dir_ / "missing";
    const std::string file = dir_ / "file.txt";
    const std::string held = dir_ / "held";
    WriteTextFile(file, "x");
    ASSERT_TRUE(::CreateDirectoryA(held.c_str(), nullptr));
    // Another opener that shares nothing: our open fails with its sharing violation.
    UniqueFile holder(::CreateFileA(held.c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(holder);

    HandlerPtr handler = MakeHandler();
    struct Case {
        std::string directory;
        DWORD filter;
        bool withHandler;
        DWORD expected;
    } cases[] = {
        {"", 0, false, ERROR_INVALID_PARAMETER},
        {"", kNameChanges, true, ERROR_INVALID_PARAMETER},
        {missing, 0, true, ERROR_INVALID_PARAMETER},
        {missing, kNameChanges, false, ERROR_INVALID_PARAMETER},
        {missing, kNameChanges, true, ERROR_BAD_PATHNAME},
        {file, kNameChanges, true, ERROR_BAD_PATHNAME},
        {dir_.path() + "\\missing\\deeper", kNameChanges, true, ERROR_BAD_PATHNAME},
        {held, kNameChanges, true, ERROR_SHARING_VIOLATION},
    };
    CDirectoryChangeWatcher watcher;
    const int handlesBefore = CountProcessHandles();
    // (No SCOPED_TRACE: its first use opens handles of the test framework's own.)
    for (const Case& c : cases) {
        const std::string what = c.directory + " filter " + std::to_string(c.filter);
        ::SetLastError(12345);
        EXPECT_EQ(c.expected, watcher.WatchDirectory(c.directory, c.filter,
                                                     c.withHandler ? handler.get() : nullptr, TRUE))
            << what;
        EXPECT_EQ(c.expected, ::GetLastError()) << what;
        EXPECT_FALSE(watcher.IsWatchingDirectory(c.directory)) << what;
    }
    EXPECT_EQ(0u, watcher.GetWatchSlotCount());
    EXPECT_EQ(1, handler->RefCount());
    EXPECT_EQ(0, handler->GetWatchCount());
    // Rejected calls leave nothing open: no directory, no port, no worker.
    EXPECT_EQ(0u, watcher.GetWorkerThreadId());
    EXPECT_EQ(handlesBefore, CountProcessHandles());
}

TEST_F(WatchLifecycle, SuccessReportsZeroAndStartsTheWatch) {
    CDirectoryChangeWatcher watcher;
    HandlerPtr handler = MakeHandler();
    ::SetLastError(12345);
    ASSERT_EQ(0u, watcher.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    EXPECT_EQ(0u, ::GetLastError());
    EXPECT_TRUE(watcher.IsWatchingDirectory(dir_.path()));
    EXPECT_TRUE(WaitFor(*handler, kWatchStarted, dir_.path()));
    EXPECT_EQ(2, handler->RefCount());
    EXPECT_EQ(1, handler->GetWatchCount());
    EXPECT_EQ(&watcher, handler->GetBoundWatcher());
    EXPECT_TRUE(watcher.UnwatchDirectory(dir_.path()));
    EXPECT_EQ(1, handler->Count(kWatchStopped));
    EXPECT_EQ(1, handler->RefCount());
    EXPECT_EQ(nullptr, handler->GetBoundWatcher());
}

TEST_F(WatchLifecycle, AnotherLetterCaseReplacesTheWatch) {
    CDirectoryChangeWatcher watcher;
    HandlerPtr first = MakeHandler();
    HandlerPtr second = MakeHandler();
    std::string upper = dir_.path();
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return char(std::toupper(c)); });
    ASSERT_NE(upper, dir_.path());

    ASSERT_EQ(0u, watcher.WatchDirectory(dir_.path(), kNameChanges, first.get()));
    ASSERT_EQ(0u, watcher.WatchDirectory(upper, kNameChanges, second.get()));
    // The old watch ended completely before the new one began.
    EXPECT_EQ(1, first->Count(kWatchStopped));
    EXPECT_EQ(1u, watcher.GetWatchSlotCount());
    EXPECT_TRUE(watcher.IsWatchingDirectory(dir_.path()));

    WriteTextFile(dir_ / "a.txt", "x");
    EXPECT_TRUE(WaitFor(*second, kFileAdded, upper + "\\a.txt"));
    EXPECT_EQ(0, first->Count(kFileAdded));
    EXPECT_TRUE(watcher.UnwatchDirectory(dir_.path()));
    EXPECT_EQ(1, second->Count(kWatchStopped));
}

TEST_F(WatchLifecycle, TrailingBackslashMakesASecondWatch) {
    CDirectoryChangeWatcher watcher;
    HandlerPtr plain = MakeHandler();
    HandlerPtr slashed = MakeHandler();
    const std::string withSlash = dir_.path() + "\\";
    ASSERT_EQ(0u, watcher.WatchDirectory(dir_.path(), kNameChanges, plain.get()));
    ASSERT_EQ(0u, watcher.WatchDirectory(withSlash, kNameChanges, slashed.get()));
    EXPECT_EQ(2u, watcher.GetWatchSlotCount());
    EXPECT_EQ(0, plain->Count(kWatchStopped));

    // Either way one backslash before the relative name.
    WriteTextFile(dir_ / "b.txt", "x");
    EXPECT_TRUE(WaitFor(*plain, kFileAdded, dir_ / "b.txt"));
    EXPECT_TRUE(WaitFor(*slashed, kFileAdded, dir_ / "b.txt"));
    EXPECT_TRUE(watcher.UnwatchDirectory(withSlash));
    EXPECT_TRUE(watcher.IsWatchingDirectory(dir_.path()));
    EXPECT_FALSE(watcher.IsWatchingDirectory(withSlash));
}

TEST_F(WatchLifecycle, HolesAreReusedAndOtherSlotsStay) {
    CDirectoryChangeWatcher watcher;
    HandlerPtr handler = MakeHandler();
    std::vector<std::string> names;
    for (const char* name : {"a", "b", "c", "d"}) {
        names.push_back(dir_ / name);
        ASSERT_TRUE(::CreateDirectoryA(names.back().c_str(), nullptr));
    }
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(0u, watcher.WatchDirectory(names[i], kNameChanges, handler.get()));
    EXPECT_EQ(3, handler->GetWatchCount());
    ASSERT_TRUE(watcher.UnwatchDirectory(names[1]));
    EXPECT_EQ(3u, watcher.GetWatchSlotCount());
    EXPECT_EQ(-1, WatcherTestPeer::WatchSlot(watcher, names[1]));
    ASSERT_EQ(0u, watcher.WatchDirectory(names[3], kNameChanges, handler.get()));
    EXPECT_EQ(1, WatcherTestPeer::WatchSlot(watcher, names[3]));
    EXPECT_EQ(0, WatcherTestPeer::WatchSlot(watcher, names[0]));
    EXPECT_EQ(2, WatcherTestPeer::WatchSlot(watcher, names[2]));
    EXPECT_EQ(3u, watcher.GetWatchSlotCount());
    EXPECT_EQ(3, handler->GetWatchCount());
}

TEST_F(WatchLifecycle, UnwatchingWhatIsNotWatchedChangesNothing) {
    CountingWatcher watcher;
    EXPECT_FALSE(watcher.UnwatchDirectory(dir_.path())); // no port yet
    EXPECT_FALSE(watcher.UnwatchAllDirectories());       // no worker yet
    HandlerPtr handler = MakeHandler();
    ASSERT_EQ(0u, watcher.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    EXPECT_FALSE(watcher.UnwatchDirectory(dir_ / "other"));
    EXPECT_FALSE(watcher.UnwatchDirectory(""));
    EXPECT_TRUE(watcher.IsWatchingDirectory(dir_.path()));
    EXPECT_EQ(0, handler->Count(kWatchStopped));
    EXPECT_EQ(1, watcher.starts.load());
}

TEST_F(WatchLifecycle, UnwatchAllEndsTheWorkerAndANewWatchStartsAnother) {
    CountingWatcher watcher;
    HandlerPtr handler = MakeHandler();
    const std::string other = dir_ / "other";
    ASSERT_TRUE(::CreateDirectoryA(other.c_str(), nullptr));
    ASSERT_EQ(0u, watcher.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    ASSERT_EQ(0u, watcher.WatchDirectory(other, kNameChanges, handler.get()));
    ASSERT_TRUE(watcher.UnwatchDirectory(other)); // single unwatches never end the worker
    EXPECT_NE(0u, watcher.GetWorkerThreadId());

    EXPECT_TRUE(watcher.UnwatchAllDirectories());
    EXPECT_EQ(1, watcher.exits.load());
    EXPECT_EQ(2, handler->Count(kWatchStopped));
    EXPECT_FALSE(watcher.IsWatchingDirectory(dir_.path()));
    EXPECT_EQ(0u, watcher.GetWatchSlotCount());
    EXPECT_EQ(0u, watcher.GetWorkerThreadId());
    EXPECT_EQ(0, handler->GetWatchCount());
    EXPECT_FALSE(watcher.UnwatchAllDirectories());

    ASSERT_EQ(0u, watcher.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    EXPECT_EQ(2, watcher.starts.load());
    WriteTextFile(dir_ / "after.txt", "x");
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, dir_ / "after.txt"));
}

// Windows before Vista has no CancelIoEx: the worker cancels the read it issued with CancelIo, and
// the stop is confirmed by the read's completion as before, not given up.
TEST_F(WatchLifecycle, WithoutCancelIoExAStopIsStillConfirmed) {
    CDirectoryChangeWatcher watcher;
    WatcherOsCalls calls = DefaultWatcherOsCalls();
    calls.cancelIoEx = nullptr;
    WatcherTestPeer::SetOsCalls(watcher, calls);
    const LONG abandonedBefore = CDirectoryChangeWatcher::GetAbandonedWatchCount();
    const std::string watched = dir_ / "pre-vista";
    ASSERT_TRUE(::CreateDirectoryA(watched.c_str(), nullptr));
    HandlerPtr handler = MakeHandler();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(0u, watcher.WatchDirectory(watched, kNameChanges, handler.get())) << round;
        const std::string file = watched + "\\file" + std::to_string(round) + ".txt";
        WriteTextFile(file, "x");
        EXPECT_TRUE(WaitFor(*handler, kFileAdded, file)) << round;
        EXPECT_TRUE(watcher.UnwatchDirectory(watched)) << round;
        EXPECT_EQ(round + 1, handler->Count(kWatchStopped)) << round;
    }
    EXPECT_EQ(abandonedBefore, CDirectoryChangeWatcher::GetAbandonedWatchCount());
    for (int round = 0; round < 3; ++round)
        ::DeleteFileA((watched + "\\file" + std::to_string(round) + ".txt").c_str());
    EXPECT_TRUE(::RemoveDirectoryA(watched.c_str())) << "the directory was closed: " << ::GetLastError();
}

TEST_F(WatchLifecycle, AHandlerMovesToASecondWatcher) {
    CDirectoryChangeWatcher first;
    CDirectoryChangeWatcher second;
    HandlerPtr handler = MakeHandler();
    const std::string a = dir_ / "a";
    const std::string b = dir_ / "b";
    ASSERT_TRUE(::CreateDirectoryA(a.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(b.c_str(), nullptr));
    ASSERT_EQ(0u, first.WatchDirectory(a, kNameChanges, handler.get()));
    ASSERT_EQ(0u, first.WatchDirectory(b, kNameChanges, handler.get()));
    ASSERT_EQ(2, handler->GetWatchCount());

    ASSERT_EQ(0u, second.WatchDirectory(dir_.path(), kNameChanges, handler.get()));
    EXPECT_EQ(2, handler->Count(kWatchStopped));
    EXPECT_FALSE(first.IsWatchingDirectory(a));
    EXPECT_FALSE(first.IsWatchingDirectory(b));
    EXPECT_EQ(&second, handler->GetBoundWatcher());
    EXPECT_EQ(1, handler->GetWatchCount());
    WriteTextFile(dir_ / "moved.txt", "x");
    EXPECT_TRUE(WaitFor(*handler, kFileAdded, dir_ / "moved.txt"));
}

bool PrivilegeEnabled(const char* name) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    UniqueHandle token(raw);
    LUID luid{};
    if (!::LookupPrivilegeValueA(nullptr, name, &luid))
        return false;
    PRIVILEGE_SET set{};
    set.PrivilegeCount = 1;
    set.Privilege[0].Luid = luid;
    BOOL enabled = FALSE;
    return ::PrivilegeCheck(token.get(), &set, &enabled) && enabled;
}

TEST_F(WatchLifecycle, AWatchEnablesItsPrivilegesAndHoldsItsDirectory) {
    CDirectoryChangeWatcher watcher;
    HandlerPtr handler = MakeHandler();
    const std::string watched = dir_ / "watched";
    ASSERT_TRUE(::CreateDirectoryA(watched.c_str(), nullptr));
    ASSERT_EQ(0u, watcher.WatchDirectory(watched, kNameChanges, handler.get()));
    for (const char* name : {"SeBackupPrivilege", "SeRestorePrivilege", "SeChangeNotifyPrivilege"})
        EXPECT_TRUE(PrivilegeEnabled(name)) << name;

    // No delete sharing: the watched directory itself cannot be removed or renamed meanwhile.
    EXPECT_FALSE(::RemoveDirectoryA(watched.c_str()));
    EXPECT_FALSE(::MoveFileA(watched.c_str(), (dir_ / "renamed").c_str()));
    ASSERT_TRUE(watcher.UnwatchDirectory(watched));
    EXPECT_TRUE(::RemoveDirectoryA(watched.c_str()));
}

} // namespace
