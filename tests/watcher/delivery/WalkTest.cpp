// The buffer walk on crafted buffers whose valid bytes end where an inaccessible page begins, so
// that any read past the end faults and fails the run.
#include "tests/watcher/delivery/DeliveryTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

namespace {

using delivery_tests::GuardedBuffer;

using test_support::RecordingWrapper;

// A watch record (never started) whose wrapper is the recording one.
class WalkHarness {
public:
    explicit WalkHarness(const std::string& directory = "C:\\w")
        : watch_(new CDirWatchInfo(UniqueFile(), directory, nullptr, FILE_NOTIFY_CHANGE_FILE_NAME, FALSE,
                                   true, nullptr, nullptr, NF_MATCH_FILE_NAME)) {
        if (watch_->changeHandler != nullptr)
            watch_->changeHandler->Release();
        wrapper_ = new RecordingWrapper(nullptr, nullptr, true, nullptr, nullptr, NF_MATCH_FILE_NAME);
        watch_->changeHandler = wrapper_;
    }

    std::vector<std::string> Walk(BYTE* buffer, DWORD size, DWORD& keepBytes) {
        wrapper_->Clear();
        CFileNotifyInformation info(buffer, size);
        keepBytes = 0xDEAD;
        CDirectoryChangeWatcher::ProcessChangeNotifications(info, watch_.get(), keepBytes);
        return wrapper_->Texts();
    }
    std::vector<std::string> Walk(BYTE* buffer, DWORD size) {
        DWORD keepBytes;
        return Walk(buffer, size, keepBytes);
    }

private:
    std::unique_ptr<CDirWatchInfo> watch_;
    RecordingWrapper* wrapper_;
};

struct NotifyRecord {
    DWORD action;
    std::wstring name;
};

void Put(std::vector<BYTE>& bytes, size_t at, DWORD value) {
    std::memcpy(bytes.data() + at, &value, 4);
}

// Records laid out as the system lays them out: padded to DWORD boundaries (Windows) or not (Wine).
std::vector<BYTE> BuildRecords(const std::vector<NotifyRecord>& records, bool padded) {
    std::vector<BYTE> bytes;
    size_t previous = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t start = bytes.size();
        if (i > 0)
            Put(bytes, previous, DWORD(start - previous));
        const DWORD nameBytes = DWORD(records[i].name.size() * 2);
        bytes.resize(start + 12 + nameBytes);
        Put(bytes, start, 0);
        Put(bytes, start + 4, records[i].action);
        Put(bytes, start + 8, nameBytes);
        std::memcpy(bytes.data() + start + 12, records[i].name.data(), nameBytes);
        if (padded)
            bytes.resize((bytes.size() + 3) & ~size_t(3));
        previous = start;
    }
    return bytes;
}

// The bytes copied so that their end touches the guard page.
std::unique_ptr<GuardedBuffer> Guarded(const std::vector<BYTE>& bytes) {
    auto buffer = std::make_unique<GuardedBuffer>(bytes.size());
    if (!bytes.empty())
        std::memcpy(buffer->data(), bytes.data(), bytes.size());
    return buffer;
}

const DWORD kOld = FILE_ACTION_RENAMED_OLD_NAME;
const DWORD kNew = FILE_ACTION_RENAMED_NEW_NAME;

struct WalkCase {
    const char* what;
    std::vector<NotifyRecord> records;
    std::vector<std::string> expected;
};

std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

class WalkTable : public testing::TestWithParam<bool> {};

TEST_P(WalkTable, DeliversEachRecordAsTheTableSays) {
    const bool padded = GetParam();
    const std::vector<WalkCase> cases = {
        {"one added record", {{FILE_ACTION_ADDED, L"a.txt"}}, {"added C:\\w\\a.txt"}},
        {"removed and modified",
         {{FILE_ACTION_REMOVED, L"a.txt"}, {FILE_ACTION_MODIFIED, L"b.txt"}},
         {"removed C:\\w\\a.txt", "modified C:\\w\\b.txt"}},
        {"rename pair", {{kOld, L"a.txt"}, {kNew, L"b.txt"}}, {"renamed C:\\w\\a.txt -> C:\\w\\b.txt"}},
        {"old name paired with the next record whatever it is",
         {{kOld, L"a.txt"}, {FILE_ACTION_ADDED, L"b.txt"}, {FILE_ACTION_ADDED, L"c.txt"}},
         {"renamed C:\\w\\a.txt -> C:\\w\\b.txt", "added C:\\w\\c.txt"}},
        {"lone new name", {{kNew, L"b.txt"}}, {}},
        {"unknown actions are skipped",
         {{0, L"x"}, {6, L"y"}, {0xFFFFFFFF, L"z"}, {FILE_ACTION_ADDED, L"c"}},
         {"added C:\\w\\c"}},
        {"two renames and an addition",
         {{kOld, L"a"}, {kNew, L"b"}, {FILE_ACTION_ADDED, L"c"}, {kOld, L"d"}, {kNew, L"e"}},
         {"renamed C:\\w\\a -> C:\\w\\b", "added C:\\w\\c", "renamed C:\\w\\d -> C:\\w\\e"}},
        {"empty name", {{FILE_ACTION_ADDED, L""}}, {"added C:\\w\\"}},
        {"one unit", {{FILE_ACTION_ADDED, L"x"}}, {"added C:\\w\\x"}},
        {"260 units", {{FILE_ACTION_ADDED, std::wstring(260, L'n')}}, {"added C:\\w\\" + Repeat('n', 260)}},
        {"300 units are cut to 260",
         {{FILE_ACTION_ADDED, std::wstring(300, L'n')}, {FILE_ACTION_ADDED, L"after"}},
         {"added C:\\w\\" + Repeat('n', 260), "added C:\\w\\after"}},
        {"names in subfolders",
         {{FILE_ACTION_ADDED, L"sub\\deeper\\a.txt"}},
         {"added C:\\w\\sub\\deeper\\a.txt"}},
    };
    WalkHarness harness;
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto buffer = Guarded(BuildRecords(c.records, padded));
        DWORD keepBytes;
        EXPECT_EQ(harness.Walk(buffer->data(), DWORD(buffer->size()), keepBytes), c.expected);
        EXPECT_EQ(keepBytes, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, WalkTable, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Padded" : "Unpadded";
                         });

TEST(Walk, DirectoryWithOrWithoutTrailingBackslashGivesOneSeparator) {
    const auto records = BuildRecords({{FILE_ACTION_ADDED, L"a.txt"}}, true);
    for (const char* directory : {"C:\\w", "C:\\w\\"}) {
        WalkHarness harness(directory);
        auto buffer = Guarded(records);
        EXPECT_EQ(harness.Walk(buffer->data(), DWORD(buffer->size())),
                  std::vector<std::string>{"added C:\\w\\a.txt"});
    }
    WalkHarness empty("");
    auto buffer = Guarded(records);
    EXPECT_EQ(empty.Walk(buffer->data(), DWORD(buffer->size())), std::vector<std::string>{"added \\a.txt"});
}

TEST(Walk, NamesOutsideAsciiUseTheConversionCodePage) {
    if (::GetACP() != 1252)
        GTEST_SKIP() << "expected bytes are those of code page 1252";
    WalkHarness harness;
    auto buffer = Guarded(
        BuildRecords({{FILE_ACTION_ADDED, L"caf\u00e9.txt"}, {FILE_ACTION_ADDED, L"\u4e2d.txt"}}, false));
    EXPECT_EQ(harness.Walk(buffer->data(), DWORD(buffer->size())),
              (std::vector<std::string>{"added C:\\w\\caf\xe9.txt", "added C:\\w\\?.txt"}));
}

TEST(Walk, NextEntryOffsetPastTheEndEndsTheWalk) {
    auto bytes = BuildRecords({{FILE_ACTION_ADDED, L"a"}, {FILE_ACTION_ADDED, L"b"}}, false);
    const std::vector<std::string> first = {"added C:\\w\\a"};
    WalkHarness harness;
    for (DWORD offset : {DWORD(bytes.size()), DWORD(bytes.size() - 11), DWORD(0x10000), DWORD(0xFFFFFFF0)}) {
        SCOPED_TRACE(offset);
        Put(bytes, 0, offset);
        auto buffer = Guarded(bytes);
        EXPECT_EQ(harness.Walk(buffer->data(), DWORD(buffer->size())), first);
    }
}

TEST(Walk, NameLengthBeyondTheValidBytesIsCut) {
    auto bytes = BuildRecords({{FILE_ACTION_ADDED, L"abc"}}, false);
    Put(bytes, 8, 0x7FFFFFFF);
    auto buffer = Guarded(bytes);
    WalkHarness harness;
    EXPECT_EQ(harness.Walk(buffer->data(), DWORD(buffer->size())),
              std::vector<std::string>{"added C:\\w\\abc"});
}

TEST(Walk, NothingToWalk) {
    WalkHarness harness;
    DWORD keepBytes;
    EXPECT_TRUE(harness.Walk(nullptr, 4096, keepBytes).empty());
    auto tiny = Guarded(std::vector<BYTE>(11, 0));
    EXPECT_TRUE(harness.Walk(tiny->data(), 11, keepBytes).empty());
    EXPECT_EQ(keepBytes, 0u);

    CFileNotifyInformation none(nullptr, 0);
    EXPECT_EQ(none.GetCurrentAction(), 0u);
    EXPECT_EQ(none.GetCurrentFileName(), "");
    EXPECT_FALSE(none.MoveToNextRecord());
    DWORD untouched = 7;
    EXPECT_FALSE(none.CopyCurrentRecordToBeginningOfBuffer(untouched));
    EXPECT_EQ(untouched, 7u);

    DWORD keep = 9;
    CFileNotifyInformation info(nullptr, 0);
    CDirectoryChangeWatcher::ProcessChangeNotifications(info, nullptr, keep);
    EXPECT_EQ(keep, 9u);
}

// A read into the whole buffer, then the next read behind the carried record, as the worker does.
class CarryTest : public testing::TestWithParam<DWORD> {
protected:
    GuardedBuffer buffer_{GetParam()};
    WalkHarness harness_;

    // Writes a read's records at `offset` and answers the valid size.
    DWORD Read(DWORD offset, const std::vector<NotifyRecord>& records, bool padded = true) {
        const auto bytes = BuildRecords(records, padded);
        std::memcpy(buffer_.data() + offset, bytes.data(), bytes.size());
        return offset + DWORD(bytes.size());
    }
};

TEST_P(CarryTest, OldNameEndingABatchPairsWithTheNextRead) {
    const DWORD bufferSize = GetParam();
    // The system's header size plus the name, or less where the padded record ends sooner.
    const std::vector<std::pair<std::wstring, DWORD>> names = {{L"b", 16}, {L"bc", 16}, {L"bcd", 20}};
    for (const auto& [name, expectedKeep] : names) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        DWORD keepBytes;
        const DWORD size = Read(0, {{FILE_ACTION_ADDED, L"a"}, {kOld, name}});
        EXPECT_EQ(harness_.Walk(buffer_.data(), size, keepBytes), std::vector<std::string>{"added C:\\w\\a"});
        EXPECT_EQ(keepBytes, expectedKeep);

        const DWORD next = PrepareNextRead(buffer_.data(), bufferSize, keepBytes);
        EXPECT_EQ(next % 4, 0u);
        EXPECT_GE(next, keepBytes);
        const DWORD size2 = Read(next, {{kNew, L"c"}, {FILE_ACTION_ADDED, L"d"}}, false);
        const std::string old = "C:\\w\\" + std::string(name.begin(), name.end());
        EXPECT_EQ(harness_.Walk(buffer_.data(), size2, keepBytes),
                  (std::vector<std::string>{"renamed " + old + " -> C:\\w\\c", "added C:\\w\\d"}));
        EXPECT_EQ(keepBytes, 0u);
    }
}

TEST_P(CarryTest, CarriedOldNamePairsWithANonRenameRecord) {
    DWORD keepBytes;
    DWORD size = Read(0, {{kOld, L"x.tmp"}});
    EXPECT_TRUE(harness_.Walk(buffer_.data(), size, keepBytes).empty());
    const DWORD next = PrepareNextRead(buffer_.data(), GetParam(), keepBytes);
    size = Read(next, {{FILE_ACTION_ADDED, L"y.txt"}});
    EXPECT_EQ(harness_.Walk(buffer_.data(), size),
              std::vector<std::string>{"renamed C:\\w\\x.tmp -> C:\\w\\y.txt"});
}

// An empty completion (the system's change list overflowed) carries nothing new: the previous
// batch is not walked again, and a carried old name waits for the next real read.
TEST_P(CarryTest, EmptyCompletionDeliversNothingAgain) {
    DWORD keepBytes;
    DWORD size = Read(0, {{FILE_ACTION_ADDED, L"a"}, {FILE_ACTION_ADDED, L"b"}});
    EXPECT_EQ(harness_.Walk(buffer_.data(), size, keepBytes).size(), 2u);
    EXPECT_TRUE(
        harness_.Walk(buffer_.data(), PrepareNextRead(buffer_.data(), GetParam(), keepBytes) + 0).empty());

    size = Read(0, {{FILE_ACTION_ADDED, L"a"},
                    {kOld, L"b"},
                    {FILE_ACTION_ADDED, L"stale1"},
                    {FILE_ACTION_ADDED, L"stale2"}});
    // The read wrote only its first two records this time; the rest is old content.
    size = DWORD(BuildRecords({{FILE_ACTION_ADDED, L"a"}, {kOld, L"b"}}, true).size());
    EXPECT_EQ(harness_.Walk(buffer_.data(), size, keepBytes), std::vector<std::string>{"added C:\\w\\a"});
    DWORD next = PrepareNextRead(buffer_.data(), GetParam(), keepBytes);
    ASSERT_GT(next, 0u);
    EXPECT_TRUE(harness_.Walk(buffer_.data(), next, keepBytes).empty());
    EXPECT_EQ(keepBytes, 16u);
    next = PrepareNextRead(buffer_.data(), GetParam(), keepBytes);
    size = Read(next, {{kNew, L"c"}});
    EXPECT_EQ(harness_.Walk(buffer_.data(), size), std::vector<std::string>{"renamed C:\\w\\b -> C:\\w\\c"});
}

TEST_P(CarryTest, LongOldNameIsCarriedCutTo260Units) {
    DWORD keepBytes;
    DWORD size = Read(0, {{FILE_ACTION_ADDED, L"a"}, {kOld, std::wstring(300, L'o')}});
    harness_.Walk(buffer_.data(), size, keepBytes);
    EXPECT_EQ(keepBytes, 14u + 520u);
    const DWORD next = PrepareNextRead(buffer_.data(), GetParam(), keepBytes);
    size = Read(next, {{kNew, L"n"}});
    EXPECT_EQ(harness_.Walk(buffer_.data(), size),
              std::vector<std::string>{"renamed C:\\w\\" + Repeat('o', 260) + " -> C:\\w\\n"});
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, CarryTest, testing::Values(DWORD(4096), kNotificationBufferSize));

TEST(Carry, UnpaddedLastRecordAtTheVeryEndIsCarriedWithoutReadingPastIt) {
    const auto bytes = BuildRecords({{FILE_ACTION_ADDED, L"a"}, {kOld, L"bcd"}}, false);
    auto buffer = Guarded(bytes);
    WalkHarness harness;
    DWORD keepBytes;
    harness.Walk(buffer->data(), DWORD(bytes.size()), keepBytes);
    EXPECT_EQ(keepBytes, 12u + 6u);
    EXPECT_EQ(PrepareNextRead(buffer->data(), DWORD(bytes.size()), keepBytes), 20u);
}

TEST(Carry, PrepareNextReadRejectsWhatDoesNotFit) {
    BYTE buffer[64] = {};
    EXPECT_EQ(PrepareNextRead(buffer, sizeof buffer, 0), 0u);
    EXPECT_EQ(PrepareNextRead(buffer, sizeof buffer, 64), 0u);
    EXPECT_EQ(PrepareNextRead(buffer, sizeof buffer, 62), 0u);
    EXPECT_EQ(PrepareNextRead(nullptr, sizeof buffer, 16), 0u);
    EXPECT_EQ(PrepareNextRead(buffer, sizeof buffer, 18), 20u);
}

// Thousands of valid buffers with random bytes overwritten, walked in buffers whose end touches an
// inaccessible page, then carried and walked again as after an empty completion.
void FuzzWalk(DWORD bufferSize, int rounds, unsigned seed) {
    std::mt19937 random(seed);
    GuardedBuffer buffer(bufferSize);
    WalkHarness harness;
    for (int round = 0; round < rounds; ++round) {
        std::vector<NotifyRecord> records;
        const int count = int(random() % (bufferSize / 64));
        for (int i = 0; i < count; ++i) {
            std::wstring name(random() % 40, L'a');
            for (auto& c : name)
                c = wchar_t(0x20 + random() % 0x3000);
            records.push_back({DWORD(random() % 7), name});
        }
        auto bytes = BuildRecords(records, random() % 2 == 0);
        bytes.resize(std::min<size_t>(bytes.size(), bufferSize));
        const int corruptions = int(random() % 8);
        for (int i = 0; i < corruptions && !bytes.empty(); ++i) {
            const size_t at = random() % bytes.size();
            bytes[at] = BYTE(random() % 3 == 0 ? 0xFF : random());
        }
        // Valid bytes end at the guard page: a random tail of the buffer.
        const DWORD size = DWORD(bytes.size());
        BYTE* start = buffer.data() + (bufferSize - size);
        std::memcpy(start, bytes.data(), size);
        DWORD keepBytes;
        harness.Walk(start, size, keepBytes);
        ASSERT_LE(keepBytes, size);
        if (keepBytes != 0) {
            const DWORD next = PrepareNextRead(start, size, keepBytes);
            ASSERT_EQ(next % 4, 0u);
            ASSERT_LT(next, std::max<DWORD>(size, 1));
            if (next != 0)
                harness.Walk(start, next, keepBytes);
        }
    }
}

TEST(WalkFuzz, RandomlyCorruptedBuffersOf4096Bytes) {
    FuzzWalk(4096, 3000, 20240601);
}
TEST(WalkFuzz, RandomlyCorruptedBuffersOf64KiB) {
    FuzzWalk(kNotificationBufferSize, 200, 7);
}

} // namespace
