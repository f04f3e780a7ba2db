// The store of old state on a real disk: made before the setup and named in the environment the
// setup inherits, read and emptied after it, removed with the run when the tracker made it; and the
// present read back from the real registry and files. Store files are written here as the capture
// writes them, to test the reader on whole, torn and foreign files.
#include "host/track/run/LiveState.h"
#include "host/track/run/OldStateStore.h"
#include "host/track/output/Reports.h"
#include "host/track/result/TextEncoding.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using capture::OldPresence;
using capture::OldStateKind;
using capture::OldStateRecord;
using track::AnsiToWide;
using track::OldStateStore;
using track::StoreReading;

std::wstring Environment(const wchar_t* name) {
    wchar_t value[4096];
    const DWORD length = ::GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    ASSERT_TRUE(bytes.empty() ||
                ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

OldStateRecord Value(std::uint64_t sequence, std::uint32_t processId, const std::wstring& key,
                     const std::wstring& name, OldPresence presence) {
    OldStateRecord record;
    record.kind = OldStateKind::Value;
    record.sequence = sequence;
    record.processId = processId;
    record.key = key;
    record.name = name;
    record.presence = presence;
    if (presence == OldPresence::Present) {
        record.type = REG_DWORD;
        record.data = {1, 0, 0, 0};
        record.size = 4;
    }
    return record;
}

std::vector<std::uint8_t> Encoded(const std::vector<OldStateRecord>& records) {
    std::vector<std::uint8_t> bytes;
    for (const OldStateRecord& record : records) {
        const auto one = capture::EncodeOldState(record);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

TEST(OldStateStore, AGivenFolderIsMadeAndNamedAndItsRecordsAreReadOnceWhileItsCopiesStay) {
    test_support::TempDir dir("store");
    const std::wstring folder = AnsiToWide(dir / "made\\below\\store");
    {
        OldStateStore store;
        std::string problem;
        ASSERT_TRUE(store.Open(folder, {L"C:\\Program Files", L"C:\\windows"}, 1234, problem)) << problem;
        EXPECT_TRUE(IsFolder(folder));
        EXPECT_TRUE(IsFolder(folder + L"\\files"));
        EXPECT_EQ(store.keptFolder(), folder + L"\\files");
        EXPECT_EQ(Environment(capture::kStoreVariable), folder);
        EXPECT_EQ(Environment(capture::kWatchedFoldersVariable), L"C:\\Program Files|C:\\windows");
        EXPECT_EQ(Environment(capture::kFileCapVariable), L"1234");

        // Two processes' files, a kept copy, and files that are no record files.
        WriteBytes(folder + L"\\old-10-0.rec",
                   Encoded({Value(1, 10, L"HKCU\\A", L"x", OldPresence::Absent),
                            Value(3, 10, L"HKCU\\A", L"y", OldPresence::Present)}));
        WriteBytes(folder + L"\\old-11-0.rec",
                   Encoded({Value(2, 11, L"HKCU\\A", L"x", OldPresence::Present)}));
        WriteBytes(folder + L"\\files\\1", {1, 2, 3});
        WriteBytes(folder + L"\\notes.txt", {1});
        WriteBytes(folder + L"\\old-12-0.rec.bak", {1});
        const StoreReading reading = store.Read();
        EXPECT_EQ(reading.recordFiles, 2u);
        EXPECT_EQ(reading.damagedFiles, 0u);
        ASSERT_EQ(reading.records.size(), 3u);
        EXPECT_EQ(reading.records[2].processId, 11u) << "in file-name order";
        EXPECT_EQ(track::DescribeDamage(reading), "");
        EXPECT_FALSE(Exists(folder + L"\\old-10-0.rec"));
        EXPECT_FALSE(Exists(folder + L"\\old-11-0.rec"));
        EXPECT_TRUE(Exists(folder + L"\\files\\1"));
        EXPECT_TRUE(Exists(folder + L"\\old-12-0.rec.bak"));
        EXPECT_TRUE(store.Read().records.empty()) << "read once";
    }
    EXPECT_TRUE(Exists(folder + L"\\files\\1")) << "a store given to the tracker stays";
    EXPECT_EQ(Environment(capture::kStoreVariable), L"");

    // A later run in the same folder does not take this one's leftover records for its own.
    WriteBytes(folder + L"\\old-10-0.rec", Encoded({Value(1, 10, L"HKCU\\A", L"x", OldPresence::Absent)}));
    OldStateStore again;
    std::string problem;
    ASSERT_TRUE(again.Open(folder, {}, 0, problem));
    EXPECT_FALSE(Exists(folder + L"\\old-10-0.rec"));
    EXPECT_EQ(Environment(capture::kWatchedFoldersVariable), L"");
    EXPECT_EQ(Environment(capture::kFileCapVariable), L"0");

    // The setup may work in another folder: a relative name is given to it in full.
    wchar_t current[MAX_PATH];
    ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH, current), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryW(AnsiToWide(dir.path()).c_str()));
    OldStateStore relative;
    const bool opened = relative.Open(L"relative\\store", {}, 0, problem);
    ::SetCurrentDirectoryW(current);
    ASSERT_TRUE(opened) << problem;
    EXPECT_EQ(Environment(capture::kStoreVariable), AnsiToWide(dir / "relative\\store"));
    EXPECT_TRUE(IsFolder(AnsiToWide(dir / "relative\\store\\files")));
}

TEST(OldStateStore, ATemporaryStoreIsRemovedWithEverythingInIt) {
    std::wstring folder;
    {
        OldStateStore store;
        std::string problem;
        ASSERT_TRUE(store.Open(L"", {L"C:\\windows"}, 64u << 20, problem)) << problem;
        folder = store.folder();
        wchar_t temp[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        EXPECT_EQ(folder.rfind(std::wstring(temp, length) + L"orvane-store-", 0), 0u);
        EXPECT_EQ(Environment(capture::kStoreVariable), folder);
        ASSERT_TRUE(::CreateDirectoryW((store.keptFolder() + L"\\deeper").c_str(), nullptr));
        WriteBytes(store.keptFolder() + L"\\deeper\\copy", {1});
        WriteBytes(store.keptFolder() + L"\\read-only", {1});
        ASSERT_TRUE(
            ::SetFileAttributesW((store.keptFolder() + L"\\read-only").c_str(), FILE_ATTRIBUTE_READONLY));
        WriteBytes(folder + L"\\old-5-0.rec", {});

        // A second store of the same process takes a name of its own.
        OldStateStore second;
        ASSERT_TRUE(second.Open(L"", {}, 1, problem));
        EXPECT_NE(second.folder(), folder);
    }
    EXPECT_FALSE(Exists(folder));
    EXPECT_EQ(Environment(capture::kStoreVariable), L"");
}

TEST(OldStateStore, AFolderThatCannotBeMadeIsSaidInOneLineAndNamesNoStore) {
    test_support::TempDir dir("store");
    test_support::WriteTextFile(dir / "a-file", "not a folder");
    ::SetEnvironmentVariableW(capture::kStoreVariable, L"C:\\inherited-from-an-outer-run");
    for (const std::string& target : {dir / "a-file\\store", dir / "a-file"}) {
        OldStateStore store;
        std::string problem;
        EXPECT_FALSE(store.Open(AnsiToWide(target), {L"C:\\windows"}, 1, problem));
        EXPECT_FALSE(store.IsOpen());
        EXPECT_EQ(
            problem.rfind("old state cannot be kept: the folder " + target + " cannot be made (error ", 0),
            0u)
            << problem;
        const std::string tail = "); changed items will be reported with old data unknown";
        EXPECT_EQ(problem.substr(problem.size() - tail.size()), tail) << problem;
        EXPECT_EQ(Environment(capture::kStoreVariable), L"");
        EXPECT_EQ(Environment(capture::kWatchedFoldersVariable), L"");
        EXPECT_EQ(store.keptFolder(), L"");
        EXPECT_TRUE(store.Read().records.empty());
    }
}

TEST(OldStateStore, PassesOverGarbageAndTornTailsAndSaysHowMuch) {
    test_support::TempDir dir("store");
    const std::wstring folder = AnsiToWide(dir / "s");
    OldStateStore store;
    std::string problem;
    ASSERT_TRUE(store.Open(folder, {}, 1, problem));
    EXPECT_TRUE(store.Read().records.empty()) << "an empty store";
    EXPECT_EQ(store.Read().recordFiles, 0u);

    std::vector<std::uint8_t> garbage(1000);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 37 + 11);
    WriteBytes(folder + L"\\old-1-0.rec", garbage);
    std::vector<std::uint8_t> torn = Encoded({Value(1, 2, L"HKCU\\T", L"a", OldPresence::Absent),
                                              Value(2, 2, L"HKCU\\T", L"b", OldPresence::Absent)});
    torn.resize(torn.size() - 3);
    WriteBytes(folder + L"\\old-2-0.rec", torn);
    WriteBytes(folder + L"\\old-3-0.rec", {});
    const StoreReading reading = store.Read();
    EXPECT_EQ(reading.recordFiles, 3u);
    EXPECT_EQ(reading.damagedFiles, 2u);
    ASSERT_EQ(reading.records.size(), 1u);
    EXPECT_EQ(reading.records[0].name, L"a");
    const size_t tornTail =
        capture::EncodeOldState(Value(2, 2, L"HKCU\\T", L"b", OldPresence::Absent)).size() - 3;
    EXPECT_EQ(reading.bytesPassedOver, garbage.size() + tornTail);
    EXPECT_EQ(track::DescribeDamage(reading),
              "old state: 2 of 3 record files end in a torn or damaged record or cannot be read (" +
                  std::to_string(garbage.size() + tornTail) +
                  " bytes passed over); what they held from there is reported with old data unknown");
}

OldStateRecord CarriedCopy(std::uint64_t sequence, const std::wstring& path, const std::string& content) {
    OldStateRecord record;
    record.kind = OldStateKind::File;
    record.presence = OldPresence::Present;
    record.sequence = sequence;
    record.processId = 20;
    record.key = path;
    record.name = capture::kCopyInRecord;
    record.data.assign(content.begin(), content.end());
    record.size = content.size();
    return record;
}

std::string ContentOf(const std::wstring& path) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return "<missing>";
    std::string content(1 << 16, '\0');
    DWORD read = 0;
    ::ReadFile(file.get(), &content[0], static_cast<DWORD>(content.size()), &read, nullptr);
    content.resize(read);
    return content;
}

TEST(OldStateStore, CopiesCarriedInRecordsAreWrittenOutBesideTheOthersAndOnlyWhenWhole) {
    test_support::TempDir dir("store");
    const std::wstring folder = AnsiToWide(dir / "s");
    OldStateStore store;
    std::string problem;
    ASSERT_TRUE(store.Open(folder, {}, 1000, problem)) << problem;
    OldStateRecord stored = CarriedCopy(4, L"C:\\d\\stored.dll", "");
    stored.name = L"20-0\\20-0";
    OldStateRecord torn = CarriedCopy(3, L"C:\\d\\torn.txt", "short");
    torn.size = 6;
    OldStateRecord unknown = CarriedCopy(5, L"C:\\d\\unknown.txt", "held");
    unknown.presence = OldPresence::Unknown;
    // A copy of an earlier run in a store folder the user named is neither overwritten nor taken.
    ASSERT_TRUE(::CreateDirectoryW((folder + L"\\files\\r-0").c_str(), nullptr));
    WriteBytes(folder + L"\\files\\r-0\\r-0", {9});
    WriteBytes(folder + L"\\old-20-0.rec",
               Encoded({CarriedCopy(1, L"C:\\d\\a.ini", "[a]\r\nb=1\r\n"),
                        CarriedCopy(2, L"C:\\d\\empty.txt", ""), torn, stored, unknown}));
    const StoreReading reading = store.Read();
    ASSERT_EQ(reading.records.size(), 5u);
    const auto& records = reading.records;
    EXPECT_EQ(records[0].name, L"r-0\\r-1");
    EXPECT_EQ(ContentOf(store.keptFolder() + L"\\" + records[0].name), "[a]\r\nb=1\r\n");
    EXPECT_EQ(records[1].name, L"r-0\\r-2");
    EXPECT_EQ(ContentOf(store.keptFolder() + L"\\" + records[1].name), "");
    EXPECT_EQ(ContentOf(store.keptFolder() + L"\\r-0\\r-0"), std::string(1, '\x09'));
    EXPECT_EQ(records[2].name, L"") << "a copy of another length than the file's is not taken";
    EXPECT_EQ(records[2].reason, L"the copy its record carries is not whole");
    EXPECT_EQ(records[3].name, L"20-0\\20-0") << "a copy the capture made in the store stays as named";
    EXPECT_EQ(records[4].name, L"");
    for (const OldStateRecord& record : records)
        EXPECT_TRUE(record.data.empty()) << "no copy is held once written out";

    // A files folder that cannot take a copy: said in the record, and the reading goes on.
    ASSERT_TRUE(::MoveFileW(store.keptFolder().c_str(), (folder + L"\\moved").c_str()));
    WriteBytes(store.keptFolder(), {1});
    WriteBytes(folder + L"\\old-21-0.rec", Encoded({CarriedCopy(6, L"C:\\d\\b.ini", "b"),
                                                    Value(7, 21, L"HKCU\\A", L"x", OldPresence::Absent)}));
    const StoreReading blocked = store.Read();
    ASSERT_EQ(blocked.records.size(), 2u);
    EXPECT_EQ(blocked.records[0].name, L"");
    EXPECT_EQ(blocked.records[0].reason.rfind(L"could not be copied into the store (error ", 0), 0u)
        << track::WideToUtf8(blocked.records[0].reason);
    EXPECT_EQ(blocked.records[1].name, L"x");
    ::DeleteFileW(store.keptFolder().c_str());
}

class LiveStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        keyPath_ = L"Software\\OrvaneHostTests\\live-" + std::to_wstring(::GetCurrentProcessId());
        HKEY raw = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &raw, nullptr),
                  ERROR_SUCCESS);
        key_.reset(raw);
    }
    void TearDown() override {
        key_.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\OrvaneHostTests");
    }

    std::wstring keyPath_;
    UniqueKey key_;
};

TEST_F(LiveStateTest, ReadsValuesKeysAndFilesAsTheyAreNow) {
    const wchar_t text[] = L"caf\u00e9 \u03a9";
    ASSERT_EQ(
        ::RegSetValueExW(key_.get(), L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
        ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key_.get(), L"", 0, REG_BINARY, reinterpret_cast<const BYTE*>("ab"), 2),
              ERROR_SUCCESS);
    track::LiveState now([](const std::wstring& path) { return path == L"C:\\noise"; });
    const std::wstring key = L"HKCU\\" + keyPath_;
    const track::CurrentValue read = now.ReadValue(L"hkcu\\" + keyPath_, L"TEXT");
    ASSERT_EQ(read.state, track::CurrentValue::State::Present);
    EXPECT_EQ(read.type, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(read.bytes,
              std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text),
                                        reinterpret_cast<const std::uint8_t*>(text) + sizeof text));
    EXPECT_EQ(now.ReadValue(key, L"").bytes, (std::vector<std::uint8_t>{'a', 'b'})) << "the default value";
    EXPECT_EQ(now.ReadValue(key, L"Missing").state, track::CurrentValue::State::Absent);
    EXPECT_EQ(now.ReadValue(key + L"\\Missing", L"x").state, track::CurrentValue::State::Absent);
    EXPECT_EQ(now.ReadValue(L"HKXX\\Software", L"x").state, track::CurrentValue::State::Unreadable);
    EXPECT_EQ(now.Key(key), track::Presence::Exists);
    EXPECT_EQ(now.Key(L"HKEY_CURRENT_USER\\" + keyPath_), track::Presence::Exists);
    EXPECT_EQ(now.Key(key + L"\\Missing"), track::Presence::Gone);
    EXPECT_EQ(now.Key(L"HKXX\\Software"), track::Presence::Unknown);

    test_support::TempDir dir("live");
    test_support::WriteTextFile(dir / "five.txt", "12345");
    const track::CurrentFile file = now.File(AnsiToWide(dir / "five.txt"));
    EXPECT_EQ(file.presence, track::Presence::Exists);
    EXPECT_EQ(file.facts.size, 5u);
    EXPECT_NE(file.facts.writeTime, 0u);
    EXPECT_EQ(now.File(AnsiToWide(dir / "missing.txt")).presence, track::Presence::Gone);
    EXPECT_EQ(now.File(AnsiToWide(dir / "missing\\deeper.txt")).presence, track::Presence::Gone);
    EXPECT_EQ(now.File(L"relative\\five.txt").presence, track::Presence::Unknown) << "never taken for gone";
    EXPECT_TRUE(now.IsNoiseFile(L"C:\\noise"));
    EXPECT_FALSE(now.IsNoiseFile(L"C:\\other"));
}

// Values read one after another from one key, through the handle kept open: of every size around
// what the first read takes, and again after the key was deleted and made anew.
TEST_F(LiveStateTest, ReadsEachValueWholeFromAKeyKeptOpenAndMadeAnew) {
    track::LiveState now([](const std::wstring&) { return false; });
    const std::wstring key = L"HKCU\\" + keyPath_;
    std::vector<std::vector<std::uint8_t>> written;
    for (const size_t size : {size_t{0}, size_t{511}, size_t{512}, size_t{513}, size_t{3u << 20}}) {
        std::vector<std::uint8_t> data(size);
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<std::uint8_t>(i * 31 + size);
        const std::wstring name = L"V" + std::to_wstring(size);
        ASSERT_EQ(::RegSetValueExW(key_.get(), name.c_str(), 0, REG_BINARY, data.data(),
                                   static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        const track::CurrentValue read = now.ReadValue(key, name);
        ASSERT_EQ(read.state, track::CurrentValue::State::Present) << size;
        EXPECT_EQ(read.type, static_cast<std::uint32_t>(REG_BINARY));
        EXPECT_TRUE(read.bytes == data) << size << " bytes written, " << read.bytes.size() << " read";
    }
    key_.reset();
    ASSERT_EQ(::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str()), ERROR_SUCCESS); // the key with it
    EXPECT_EQ(now.ReadValue(key, L"V0").state, track::CurrentValue::State::Absent) << "the key is gone";
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &raw, nullptr),
              ERROR_SUCCESS);
    key_.reset(raw);
    const DWORD number = 7;
    ASSERT_EQ(::RegSetValueExW(raw, L"Again", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(now.ReadValue(key, L"Again").bytes, (std::vector<std::uint8_t>{7, 0, 0, 0}));
}

// Names as long as a record may hold them: read, sorted and held against the present without harm,
// and a file whose path the system cannot take is not called removed.
TEST(OldStateStore, ARecordWithAPathOf32767UnitsIsReadAndReportedWithoutHarm) {
    test_support::TempDir dir("store");
    const std::wstring folder = AnsiToWide(dir / "s");
    OldStateStore store;
    std::string problem;
    ASSERT_TRUE(store.Open(folder, {}, 1, problem));
    std::wstring longKey = L"HKCU\\Software\\OrvaneHostTests";
    while (longKey.size() < 32767)
        longKey += L"\\k";
    longKey.resize(32767);
    OldStateRecord file;
    file.kind = OldStateKind::File;
    file.sequence = 2;
    file.presence = OldPresence::Present;
    file.key = L"C:\\" + std::wstring(32764, L'a');
    file.name = L"copy";
    file.size = 1;
    WriteBytes(folder + L"\\old-1-0.rec",
               Encoded({Value(1, 1, longKey, std::wstring(32767, L'n'), OldPresence::Present), file}));
    const StoreReading reading = store.Read();
    ASSERT_EQ(reading.records.size(), 2u);
    EXPECT_EQ(reading.records[0].key.size(), 32767u);
    EXPECT_EQ(reading.records[1].key.size(), 32767u);

    track::OldStates old;
    old.Add(reading.records);
    track::TrackResult result;
    result.setupCommand = "setup.exe";
    track::LiveState now([](const std::wstring&) { return false; });
    track::ClassifyChanges(old, store.keptFolder(), now, result);
    EXPECT_TRUE(result.removedFiles.empty());
    EXPECT_TRUE(result.changedFiles.empty());
    // The value is not there now: what the record says existed is reported deleted.
    ASSERT_EQ(result.registry.size(), 1u);
    EXPECT_EQ(result.registry[0].change, track::ValueChange::Deleted);
    EXPECT_EQ(track::AnsiToWide(result.registry[0].path).size(), 32767u * 2 + 1);
    EXPECT_NE(track::FormatTextReport(result, true).find("[deleted, was 1 (0x00000001)]"), std::string::npos);
    EXPECT_NE(track::FormatJsonReport(result).find("\"change\": \"deleted\""), std::string::npos);
    EXPECT_FALSE(track::FormatRegScript(result).empty());
}

} // namespace
