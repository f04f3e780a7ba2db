// The worker's rename carry, driven through the watcher's seam with crafted reads: an old name that
// ends one read meets its new name at the start of the next, and a read that completes empty (the
// system's change list overflowed) between the two drops the old name instead of pairing it with an
// unrelated record. The crafted reads complete through the real port; the last read is a real one,
// so that the stop protocol runs as it does on a live directory.
#include "tests/support/Watchdog.h"
#include "tests/watcher/core/WatcherTestPeer.h"
#include "tests/watcher/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>

using namespace core_tests;
using test_support::TempDir;
using test_support::Watchdog;

namespace {

struct Record {
    DWORD action;
    std::wstring name;
};

// FILE_NOTIFY_INFORMATION records as the system lays them out, each on a DWORD boundary.
std::vector<BYTE> Batch(const std::vector<Record>& records) {
    std::vector<BYTE> bytes;
    for (size_t i = 0; i < records.size(); ++i) {
        const DWORD nameBytes = DWORD(records[i].name.size() * sizeof(WCHAR));
        const DWORD size = (12 + nameBytes + 3) & ~DWORD(3);
        const size_t at = bytes.size();
        bytes.resize(at + size);
        const DWORD next = i + 1 < records.size() ? size : 0;
        std::memcpy(&bytes[at], &next, 4);
        std::memcpy(&bytes[at + 4], &records[i].action, 4);
        std::memcpy(&bytes[at + 8], &nameBytes, 4);
        std::memcpy(&bytes[at + 12], records[i].name.data(), nameBytes);
    }
    return bytes;
}

// The crafted reads, in order; an empty batch completes with 0 bytes. Once they are used up, reads
// go to the system.
struct Script {
    std::mutex mutex;
    std::deque<std::vector<BYTE>> reads;
    HANDLE port = nullptr;
    ULONG_PTR key = 0;
};

Script& TheScript() {
    static Script script;
    return script;
}

HANDLE WINAPI RecordingCreatePort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD threads) {
    HANDLE port = ::CreateIoCompletionPort(file, existing, key, threads);
    std::lock_guard<std::mutex> hold(TheScript().mutex);
    TheScript().port = port;
    TheScript().key = key;
    return port;
}

BOOL WINAPI ScriptedRead(HANDLE directory, LPVOID buffer, DWORD length, BOOL subtree, DWORD filter,
                         LPDWORD returned, LPOVERLAPPED overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    Script& script = TheScript();
    std::vector<BYTE> read;
    HANDLE port;
    ULONG_PTR key;
    {
        std::lock_guard<std::mutex> hold(script.mutex);
        if (script.reads.empty())
            return ::ReadDirectoryChangesW(directory, buffer, length, subtree, filter, returned, overlapped,
                                           routine);
        read = std::move(script.reads.front());
        script.reads.pop_front();
        port = script.port;
        key = script.key;
    }
    const DWORD bytes = DWORD(std::min<size_t>(read.size(), length));
    if (bytes > 0)
        std::memcpy(buffer, read.data(), bytes);
    return ::PostQueuedCompletionStatus(port, bytes, key, overlapped);
}

class Carry : public testing::Test {
protected:
    Carry() {
        WatcherOsCalls calls = DefaultWatcherOsCalls();
        calls.createIoCompletionPort = &RecordingCreatePort;
        calls.readDirectoryChanges = &ScriptedRead;
        WatcherTestPeer::SetOsCalls(watcher_, calls);
    }
    ~Carry() override {
        std::lock_guard<std::mutex> hold(TheScript().mutex);
        TheScript().reads.clear();
    }

    // Runs the crafted reads through a watch and answers what reached the handler. A last read
    // marks the end: a read still queued when the stop comes would count as the stop (its records
    // are not delivered), so the stop waits for the marker.
    std::vector<Delivery> Run(std::deque<std::vector<BYTE>> reads) {
        reads.push_back(Batch({{FILE_ACTION_ADDED, L"end.marker"}}));
        {
            std::lock_guard<std::mutex> hold(TheScript().mutex);
            TheScript().reads = std::move(reads);
        }
        Watchdog watchdog("crafted reads");
        EXPECT_EQ(0u, watcher_.WatchDirectory(dir_.path(), kNameChanges, handler_.get()));
        EXPECT_TRUE(WaitFor(*handler_, kFileAdded, Path("end.marker")));
        EXPECT_TRUE(watcher_.UnwatchDirectory(dir_.path()));
        std::vector<Delivery> files;
        for (const Delivery& delivery : handler_->Deliveries()) {
            if (delivery.kind >= kFileAdded && delivery.kind <= kFileRenamed &&
                delivery.path != Path("end.marker"))
                files.push_back(delivery);
        }
        return files;
    }

    std::string Path(const char* name) const { return dir_ / name; }

    TempDir dir_{"carry"};
    CDirectoryChangeWatcher watcher_;
    HandlerPtr handler_ = MakeHandler();
};

TEST_F(Carry, AnOldNameThatEndsAReadPairsWithTheFirstRecordOfTheNext) {
    const std::vector<Delivery> files = Run({
        Batch({{FILE_ACTION_ADDED, L"before.txt"}, {FILE_ACTION_RENAMED_OLD_NAME, L"old.txt"}}),
        Batch({{FILE_ACTION_RENAMED_NEW_NAME, L"new.txt"}, {FILE_ACTION_ADDED, L"after.txt"}}),
    });
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].kind, kFileAdded);
    EXPECT_EQ(files[0].path, Path("before.txt"));
    EXPECT_EQ(files[1].kind, kFileRenamed);
    EXPECT_EQ(files[1].path, Path("old.txt"));
    EXPECT_EQ(files[1].newPath, Path("new.txt"));
    EXPECT_EQ(files[2].kind, kFileAdded);
    EXPECT_EQ(files[2].path, Path("after.txt"));
}

// The new name was among the changes the overflow lost: the old name goes with it, and the next
// read's first record is delivered as what it is.
TEST_F(Carry, AnEmptyReadBetweenDropsTheCarriedOldName) {
    const std::vector<Delivery> files = Run({
        Batch({{FILE_ACTION_RENAMED_OLD_NAME, L"old.txt"}}),
        {},
        Batch({{FILE_ACTION_ADDED, L"unrelated.txt"}, {FILE_ACTION_REMOVED, L"gone.txt"}}),
    });
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].kind, kFileAdded);
    EXPECT_EQ(files[0].path, Path("unrelated.txt"));
    EXPECT_EQ(files[1].kind, kFileRemoved);
    EXPECT_EQ(files[1].path, Path("gone.txt"));
    EXPECT_EQ(watcher_.GetOverflowCount(), 1);
}

// A carry after an overflow works again: only the old name from before the empty read is dropped.
TEST_F(Carry, ACarryAfterAnEmptyReadStillPairs) {
    const std::vector<Delivery> files = Run({
        Batch({{FILE_ACTION_RENAMED_OLD_NAME, L"lost.txt"}}),
        {},
        Batch({{FILE_ACTION_RENAMED_OLD_NAME, L"a.txt"}}),
        Batch({{FILE_ACTION_RENAMED_NEW_NAME, L"b.txt"}}),
    });
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].kind, kFileRenamed);
    EXPECT_EQ(files[0].path, Path("a.txt"));
    EXPECT_EQ(files[0].newPath, Path("b.txt"));
}

} // namespace
