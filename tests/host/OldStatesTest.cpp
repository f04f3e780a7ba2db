// The old state of a run, from the capture's records to the result: which record speaks for an item,
// and how each value, key and file ended up against it. The present is played by a fake.
#include "host/track/result/OldStates.h"
#include "host/track/result/Base64.h"
#include "host/track/run/ChangeClassifier.h"
#include "host/track/run/RegistrySpelling.h"
#include "common/UniqueHandle.h"
#include "tests/host/HostTestSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using capture::OldPresence;
using capture::OldStateKind;
using capture::OldStateRecord;
using host_tests::Bytes;
using track::Before;
using track::OldStates;
using track::ValueChange;

OldStateRecord Record(OldStateKind kind, std::uint64_t sequence, const std::wstring& key,
                      const std::wstring& name = L"", OldPresence presence = OldPresence::Present,
                      std::uint32_t type = 0, const std::vector<std::uint8_t>& data = {}) {
    OldStateRecord record;
    record.kind = kind;
    record.sequence = sequence;
    record.processId = static_cast<std::uint32_t>(100 + sequence % 3);
    record.key = key;
    record.name = name;
    record.presence = presence;
    record.type = type;
    record.data = data;
    record.size = data.size();
    return record;
}

OldStateRecord ValueRecord(std::uint64_t sequence, const std::wstring& key, const std::wstring& name,
                           OldPresence presence, std::uint32_t type = 0,
                           const std::vector<std::uint8_t>& data = {}) {
    return Record(OldStateKind::Value, sequence, key, name, presence, type, data);
}

OldStateRecord FileRecord(std::uint64_t sequence, const std::wstring& path, OldPresence presence,
                          const std::wstring& keptName, std::uint64_t size, std::uint64_t time) {
    OldStateRecord record = Record(OldStateKind::File, sequence, path, keptName, presence);
    record.size = size;
    record.time = time;
    record.type = FILE_ATTRIBUTE_ARCHIVE;
    return record;
}

std::vector<std::uint8_t> Utf16(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

TEST(OldStates, TheLowestSequenceSpeaksForAnItemWhateverTheOrderAndProcess) {
    OldStates old;
    // Three processes changed one value; their records arrive out of order.
    old.Add(ValueRecord(30, L"HKLM\\Software\\App", L"Version", OldPresence::Present, REG_SZ, Utf16(L"2.0")));
    old.Add(ValueRecord(10, L"HKLM\\Software\\App", L"Version", OldPresence::Present, REG_SZ, Utf16(L"1.0")));
    old.Add(ValueRecord(20, L"HKLM\\Software\\App", L"Version", OldPresence::Absent));
    const track::OldValue* version = old.FindValue(L"hklm\\SOFTWARE\\app", L"VERSION");
    ASSERT_NE(version, nullptr) << "keys and names compare without letter case";
    EXPECT_EQ(version->before.state, Before::Present);
    EXPECT_EQ(version->before.type, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(version->before.bytes, Utf16(L"1.0"));
    EXPECT_EQ(old.FindValue(L"HKLM\\Software\\App", L"Build"), nullptr);

    // Files likewise; an unknown first record stays unknown, a later one cannot make it known.
    old.Add(FileRecord(7, L"C:\\App\\a.dll", OldPresence::Unknown, L"", 0, 0));
    old.Add(FileRecord(5, L"C:\\App\\b.dll", OldPresence::Absent, L"", 0, 0));
    old.Add(FileRecord(8, L"C:\\APP\\A.DLL", OldPresence::Present, L"copy-1", 10, 99));
    old.Add(FileRecord(6, L"C:\\App\\b.dll", OldPresence::Present, L"copy-2", 10, 99));
    EXPECT_EQ(old.FindFile(L"c:\\app\\a.dll")->state, Before::Unknown);
    EXPECT_EQ(old.FindFile(L"C:\\App\\B.dll")->state, Before::Absent);
    ASSERT_EQ(old.Files().size(), 2u);
    EXPECT_EQ(old.Files()[0].path, L"C:\\App\\b.dll") << "in the order of each item's first record";
}

TEST(OldStates, AValueBelowADeletedTreeCompetesWithTheValueRecordsBySequence) {
    OldStates old;
    // Written (it was new), then its key deleted: it did not exist before the setup.
    old.Add(ValueRecord(1, L"HKCU\\Software\\A", L"x", OldPresence::Absent));
    old.Add(Record(OldStateKind::DeletedValue, 2, L"HKCU\\Software\\A", L"x", OldPresence::Unknown, REG_DWORD,
                   Bytes(std::string("\x05\0\0\0", 4))));
    EXPECT_EQ(old.FindValue(L"HKCU\\Software\\A", L"x")->before.state, Before::Absent);
    // Its key deleted first, written again afterwards by another process: the deleted data is the old.
    old.Add(Record(OldStateKind::DeletedValue, 3, L"HKCU\\Software\\B", L"y", OldPresence::Unknown, REG_DWORD,
                   Bytes(std::string("\x07\0\0\0", 4))));
    old.Add(ValueRecord(4, L"HKCU\\Software\\B", L"y", OldPresence::Absent));
    const track::OldValue* y = old.FindValue(L"HKCU\\Software\\B", L"y");
    EXPECT_EQ(y->before.state, Before::Present) << "a value below a deleted key existed";
    EXPECT_EQ(y->before.bytes, Bytes(std::string("\x07\0\0\0", 4)));
    // One too large to keep stays so.
    old.Add(Record(OldStateKind::DeletedValue, 5, L"HKCU\\Software\\B", L"big", OldPresence::TooLarge,
                   REG_BINARY));
    EXPECT_EQ(old.FindValue(L"HKCU\\Software\\B", L"big")->before.state, Before::TooLarge);
    EXPECT_NE(old.FindValue(L"HKCU\\Software\\B", L"big")->before.reason.find("more than the capture keeps"),
              std::string::npos);
}

TEST(OldStates, AKeyCreatedThenDeletedDidNotExistAndOneDeletedThenCreatedDid) {
    OldStates old;
    old.Add(Record(OldStateKind::KeyCreated, 1, L"HKLM\\Software\\New"));
    old.Add(Record(OldStateKind::DeletedKey, 2, L"HKLM\\Software\\New"));
    old.Add(Record(OldStateKind::KeyCreated, 4, L"HKLM\\Software\\Old"));
    old.Add(Record(OldStateKind::DeletedKey, 3, L"HKLM\\SOFTWARE\\OLD"));
    const auto keys = old.Keys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].key, L"HKLM\\Software\\New");
    EXPECT_FALSE(keys[0].existed);
    EXPECT_EQ(keys[1].key, L"HKLM\\SOFTWARE\\OLD");
    EXPECT_TRUE(keys[1].existed);
}

TEST(OldStates, RecordsThatNameNothingUsableArePassedOver) {
    OldStates old;
    old.Add(ValueRecord(1, std::wstring(L"HKLM\\A\0B", 8), L"x", OldPresence::Present));
    old.Add(ValueRecord(2, L"HKLM\\A", std::wstring(L"x\0y", 3), OldPresence::Present));
    old.Add(ValueRecord(3, L"", L"x", OldPresence::Present));
    EXPECT_EQ(old.passedOver(), 3u);
    EXPECT_TRUE(old.empty());
    // A kept copy's name that would lead out of the store's folder is no copy.
    for (const wchar_t* name : {L"..", L"..\\..\\boot.ini", L"C:\\x", L"a/b", L".", L"a\\..", L"..\\a",
                                L"a\\b\\c", L"\\a", L"a\\", L"a\\C:x"}) {
        OldStates files;
        files.Add(FileRecord(1, L"C:\\App\\f.txt", OldPresence::Present, name, 1, 1));
        EXPECT_TRUE(files.FindFile(L"C:\\App\\f.txt")->keptName.empty());
        EXPECT_EQ(files.FindFile(L"C:\\App\\f.txt")->reason,
                  "the name given for its copy does not name a file in the store");
    }
    // The capture keeps its copies in folders of a few hundred each.
    OldStates grouped;
    grouped.Add(FileRecord(1, L"C:\\App\\f.txt", OldPresence::Present, L"12-0\\12-5", 1, 1));
    EXPECT_EQ(grouped.FindFile(L"C:\\App\\f.txt")->keptName, L"12-0\\12-5");
    OldStates gaps;
    for (int i = 0; i < 2; ++i)
        gaps.Add(Record(OldStateKind::DeletedTreeIncomplete, 1 + i, L"HKLM\\Software\\Tree", L"",
                        OldPresence::Unknown));
    EXPECT_EQ(gaps.gaps(),
              std::vector<std::string>{"the old state of the deleted key HKLM\\Software\\Tree is "
                                       "not wholly kept: no reason given"});
}

// Records decoded from store files as the tracker reads them: a torn tail and garbage are passed
// over, what came before is taken, and a path as long as a record may hold arrives whole.
TEST(OldStates, TakesWhatDecodesFromTornAndDamagedStoreFiles) {
    std::vector<std::uint8_t> file;
    for (std::uint64_t sequence : {1u, 2u, 3u}) {
        const auto bytes = capture::EncodeOldState(ValueRecord(
            sequence, L"HKLM\\Software\\T", L"v" + std::to_wstring(sequence), OldPresence::Absent));
        file.insert(file.end(), bytes.begin(), bytes.end());
    }
    file.resize(file.size() - 5); // the third record's writer was killed mid-write
    std::vector<OldStateRecord> records;
    EXPECT_GT(capture::DecodeOldStates(file.data(), file.size(), records), 0u);
    OldStates old;
    old.Add(records);
    EXPECT_EQ(old.Values().size(), 2u);
    EXPECT_EQ(old.FindValue(L"HKLM\\Software\\T", L"v3"), nullptr);

    std::vector<std::uint8_t> garbage(4096);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 131 + 7);
    records.clear();
    EXPECT_EQ(capture::DecodeOldStates(garbage.data(), garbage.size(), records), garbage.size());
    EXPECT_TRUE(records.empty());

    const std::wstring longPath = L"C:\\" + std::wstring(32764, L'a');
    ASSERT_EQ(longPath.size(), 32767u);
    const auto bytes = capture::EncodeOldState(FileRecord(1, longPath, OldPresence::Present, L"c", 1, 1));
    records.clear();
    EXPECT_EQ(capture::DecodeOldStates(bytes.data(), bytes.size(), records), 0u);
    OldStates longOne;
    longOne.Add(records);
    ASSERT_NE(longOne.FindFile(longPath), nullptr);
    EXPECT_EQ(longOne.FindFile(longPath)->path.size(), 32767u);
}

// The registry and files now, as a test says they are.
class FakeState : public track::CurrentState {
public:
    std::map<std::pair<std::wstring, std::wstring>, track::CurrentValue> values;
    std::map<std::wstring, track::Presence> keys;
    std::map<std::wstring, track::CurrentFile> files;
    std::vector<std::wstring> noise;

    track::CurrentValue ReadValue(const std::wstring& key, const std::wstring& name) override {
        const auto found = values.find({key, name});
        if (found != values.end())
            return found->second;
        track::CurrentValue absent;
        absent.state = track::CurrentValue::State::Absent;
        return absent;
    }
    track::Presence Key(const std::wstring& key) override {
        const auto found = keys.find(key);
        return found != keys.end() ? found->second : track::Presence::Gone;
    }
    track::CurrentFile File(const std::wstring& path) override {
        const auto found = files.find(path);
        if (found != files.end())
            return found->second;
        track::CurrentFile gone;
        gone.presence = track::Presence::Gone;
        return gone;
    }
    bool IsNoiseFile(const std::wstring& path) override {
        return std::find(noise.begin(), noise.end(), path) != noise.end();
    }

    void Holds(const std::wstring& key, const std::wstring& name, std::uint32_t type,
               const std::vector<std::uint8_t>& bytes) {
        track::CurrentValue value;
        value.state = track::CurrentValue::State::Present;
        value.type = type;
        value.bytes = bytes;
        values[{key, name}] = value;
    }
    void HasFile(const std::wstring& path, std::uint64_t size, std::uint64_t time) {
        track::CurrentFile file;
        file.presence = track::Presence::Exists;
        file.facts = track::FileFacts{true, size, time, FILE_ATTRIBUTE_ARCHIVE};
        files[path] = file;
    }
};

track::RegistryValue LibraryValue(const std::string& path, std::uint32_t type, const std::string& bytes) {
    return track::RegistryValue{path, type, track::EncodeBase64(Bytes(bytes))};
}

const wchar_t kApp[] = L"HKLM\\Software\\App";

TEST(ChangeClassifier, SetsEachValueAgainstWhatItHeldBefore) {
    OldStates old;
    old.Add(ValueRecord(1, kApp, L"New", OldPresence::Absent));
    old.Add(ValueRecord(2, kApp, L"Changed", OldPresence::Present, REG_SZ, Utf16(std::wstring(L"1.0\0", 4))));
    old.Add(
        ValueRecord(3, kApp, L"Same", OldPresence::Present, REG_DWORD, Bytes(std::string("\x01\0\0\0", 4))));
    old.Add(ValueRecord(4, kApp, L"Retyped", OldPresence::Present, REG_SZ, Utf16(std::wstring(L"1\0", 2))));
    old.Add(ValueRecord(5, kApp, L"Unread", OldPresence::Unknown));
    old.Add(ValueRecord(6, kApp, L"Big", OldPresence::TooLarge, REG_BINARY));
    old.Add(ValueRecord(7, kApp, L"Gone", OldPresence::Present, REG_SZ,
                        Utf16(std::wstring(L"unreadable\0", 11))));
    FakeState now;
    now.Holds(kApp, L"Changed", REG_SZ, Utf16(std::wstring(L"2.0\0", 4)));
    now.Holds(kApp, L"Same", REG_DWORD, Bytes(std::string("\x01\0\0\0", 4)));
    now.Holds(kApp, L"Retyped", REG_DWORD, Bytes(std::string("\x01\0\0\0", 4)));
    track::CurrentValue unreadable;
    now.values[{kApp, L"Gone"}] = unreadable; // read back by the library, unreadable now

    track::TrackResult result;
    result.registry = {
        LibraryValue("HKLM\\Software\\App\\New", REG_SZ, std::string("x\0", 2)),
        LibraryValue("HKLM\\Software\\App\\Changed", REG_SZ, std::string("2.0\0", 4)),
        LibraryValue("HKLM\\Software\\App\\Same", REG_DWORD, std::string("\x01\0\0\0", 4)),
        LibraryValue("HKLM\\Software\\App\\Retyped", REG_DWORD, std::string("\x01\0\0\0", 4)),
        LibraryValue("HKLM\\Software\\App\\Unread", REG_SZ, std::string("u\0", 2)),
        LibraryValue("HKLM\\Software\\App\\Big", REG_BINARY, "b"),
        // Its ANSI reading, made UTF-16, is what it held: unchanged.
        LibraryValue("HKLM\\Software\\App\\Gone", REG_SZ, std::string("unreadable\0", 11)),
        LibraryValue("HKLM\\Software\\App\\NoRecord", REG_SZ, std::string("n\0", 2)),
    };
    track::ClassifyChanges(old, L"", now, result);
    ASSERT_EQ(result.registry.size(), 8u) << "nothing is gone";
    const ValueChange expected[] = {ValueChange::New,       ValueChange::Changed,    ValueChange::Unchanged,
                                    ValueChange::Changed,   ValueChange::OldUnknown, ValueChange::OldUnknown,
                                    ValueChange::Unchanged, ValueChange::OldUnknown};
    for (size_t i = 0; i < result.registry.size(); ++i)
        EXPECT_EQ(result.registry[i].change, expected[i]) << result.registry[i].path;
    EXPECT_EQ(result.registry[0].before.state, Before::Absent);
    EXPECT_EQ(result.registry[1].before.bytes, Utf16(std::wstring(L"1.0\0", 4)));
    EXPECT_EQ(result.registry[4].before.reason, "the capture could not read it");
    EXPECT_EQ(result.registry[5].before.state, Before::TooLarge);
    EXPECT_EQ(result.registry[7].before.reason, track::kNoOldStateKept);
    EXPECT_TRUE(result.eliminatedRegistry.empty());
}

TEST(ChangeClassifier, AddsTheValuesThatExistedAndAreGoneAndDropsThoseMadeAndRemoved) {
    OldStates old;
    old.Add(ValueRecord(1, kApp, L"Removed", OldPresence::Present, REG_SZ, Utf16(std::wstring(L"old\0", 4))));
    old.Add(ValueRecord(2, kApp, L"Scratch", OldPresence::Absent));
    old.Add(ValueRecord(3, kApp, L"Kept", OldPresence::Present, REG_SZ, Utf16(std::wstring(L"k\0", 2))));
    old.Add(Record(OldStateKind::DeletedValue, 4, L"HKLM\\Software\\App\\Tree", L"\u03a9mega",
                   OldPresence::Unknown, REG_DWORD, Bytes(std::string("\x02\0\0\0", 4))));
    old.Add(ValueRecord(5, L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                        L"Desktop", OldPresence::Present, REG_SZ, Utf16(std::wstring(L"C:\\d\0", 5))));
    old.Add(ValueRecord(6, kApp, L"Unknown", OldPresence::Unknown));
    FakeState now;
    now.Holds(kApp, L"Kept", REG_SZ, Utf16(std::wstring(L"k\0", 2)));

    track::TrackResult result;
    track::ClassifyChanges(old, L"", now, result);
    ASSERT_EQ(result.registry.size(), 2u);
    EXPECT_EQ(result.registry[0].path, "HKLM\\Software\\App\\Removed");
    EXPECT_EQ(result.registry[0].change, ValueChange::Deleted);
    EXPECT_EQ(result.registry[0].type, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(result.registry[0].base64, "");
    EXPECT_EQ(result.registry[0].before.bytes, Utf16(std::wstring(L"old\0", 4)));
    // A name the ANSI code page cannot hold keeps its real name beside the library's form.
    const std::string omega = result.registry[1].path;
    EXPECT_EQ(result.registry[1].change, ValueChange::Deleted);
    ASSERT_EQ(result.realNames.count(omega), 1u) << omega;
    EXPECT_EQ(result.realNames[omega], "HKLM\\Software\\App\\Tree\\\xce\xa9mega");

    ASSERT_EQ(result.eliminatedRegistry.size(), 2u);
    EXPECT_EQ(result.eliminatedRegistry[0].value.path, "HKLM\\Software\\App\\Scratch");
    EXPECT_EQ(result.eliminatedRegistry[0].reason, track::kWrittenAndDeleted);
    EXPECT_EQ(result.eliminatedRegistry[1].value.change, ValueChange::Deleted);
    EXPECT_NE(result.eliminatedRegistry[1].reason.find("shell folder cache"), std::string::npos);
}

TEST(ChangeClassifier, ListsKeysCreatedThatStayAndKeysThatExistedAndAreGone) {
    OldStates old;
    old.Add(Record(OldStateKind::KeyCreated, 1, L"HKLM\\Software\\Made"));
    old.Add(Record(OldStateKind::KeyCreated, 2, L"HKLM\\Software\\MadeAndGone"));
    old.Add(Record(OldStateKind::DeletedKey, 3, L"HKLM\\Software\\Old"));
    old.Add(Record(OldStateKind::DeletedKey, 4, L"HKLM\\Software\\Old\\Sub"));
    old.Add(Record(OldStateKind::DeletedKey, 5, L"HKLM\\Software\\Remade"));
    old.Add(Record(OldStateKind::KeyCreated, 6, L"HKLM\\Software\\Remade"));
    old.Add(Record(OldStateKind::KeyCreated, 7, L"HKCU\\Software\\Wine\\Noise"));
    FakeState now;
    now.keys[L"HKLM\\Software\\Made"] = track::Presence::Exists;
    now.keys[L"HKLM\\Software\\Remade"] = track::Presence::Exists;
    now.keys[L"HKCU\\Software\\Wine\\Noise"] = track::Presence::Exists;
    track::TrackResult result;
    old.Add(
        Record(OldStateKind::DeletedTreeIncomplete, 8, L"HKLM\\Software\\Old", L"", OldPresence::Unknown));
    track::ClassifyChanges(old, L"", now, result);
    EXPECT_EQ(result.createdKeys, std::vector<std::string>{"HKLM\\Software\\Made"});
    EXPECT_EQ(result.deletedKeys,
              (std::vector<std::string>{"HKLM\\Software\\Old", "HKLM\\Software\\Old\\Sub"}));
    ASSERT_EQ(result.oldStateGaps.size(), 1u);
    EXPECT_NE(result.oldStateGaps[0].find("HKLM\\Software\\Old"), std::string::npos);
}

TEST(ChangeClassifier, TellsAddedFilesFromChangedAndRemovedOnes) {
    const std::wstring kept = L"C:\\store\\files";
    OldStates old;
    old.Add(FileRecord(1, L"C:\\App\\replaced.dll", OldPresence::Present, L"1.bin", 100, 1000));
    old.Add(FileRecord(2, L"C:\\App\\new.dll", OldPresence::Absent, L"", 0, 0));
    old.Add(FileRecord(3, L"C:\\App\\removed.txt", OldPresence::Present, L"", 5, 2000));
    old.Add(FileRecord(4, L"C:\\App\\edited.ini", OldPresence::Present, L"4.bin", 10, 3000));
    old.Add(FileRecord(5, L"C:\\App\\touched.ini", OldPresence::Present, L"5.bin", 10, 3000));
    old.Add(FileRecord(6, L"C:\\App\\noise.log", OldPresence::Present, L"", 10, 3000));
    old.Add(FileRecord(7, L"C:\\App\\huge.bin", OldPresence::TooLarge, L"", 1u << 30, 4000));
    old.Add(FileRecord(8, L"C:\\App\\lost.txt", OldPresence::Present, L"8.bin", 1, 1));
    old.Add(FileRecord(9, L"C:\\App\\desktop.ini", OldPresence::Present, L"", 1, 1));
    FakeState now;
    now.HasFile(L"C:\\App\\replaced.dll", 200, 5000);
    now.HasFile(L"C:\\App\\new.dll", 1, 5000);
    now.HasFile(L"C:\\App\\edited.ini", 12, 5000);
    now.HasFile(L"C:\\App\\touched.ini", 10, 3000);
    now.HasFile(L"C:\\App\\noise.log", 11, 5000);
    now.HasFile(L"C:\\App\\huge.bin", 1u << 30, 5000);
    now.HasFile(L"C:\\App\\desktop.ini", 2, 5000);
    now.HasFile(kept + L"\\1.bin", 100, 1000);
    now.HasFile(kept + L"\\4.bin", 10, 3000);
    now.noise = {L"C:\\App\\noise.log"};

    track::TrackResult result;
    result.files = {"C:\\App\\new.dll", "C:\\App\\replaced.dll", "C:\\App\\other.dll"};
    result.eliminated = {{"C:\\App\\desktop.ini", "shell view file"}};
    track::ClassifyChanges(old, kept, now, result);
    EXPECT_EQ(result.files, (std::vector<std::string>{"C:\\App\\new.dll", "C:\\App\\other.dll"}));
    ASSERT_EQ(result.changedFiles.size(), 3u);
    const track::ChangedFile& replaced = result.changedFiles[0];
    EXPECT_EQ(replaced.path, "C:\\App\\replaced.dll");
    EXPECT_TRUE(replaced.before.exists);
    EXPECT_EQ(replaced.before.size, 100u);
    EXPECT_EQ(replaced.before.writeTime, 1000u);
    EXPECT_EQ(replaced.after.size, 200u);
    EXPECT_EQ(replaced.kept, "C:\\store\\files\\1.bin");
    EXPECT_EQ(result.changedFiles[1].path, "C:\\App\\edited.ini");
    EXPECT_EQ(result.changedFiles[1].kept, "C:\\store\\files\\4.bin");
    EXPECT_EQ(result.changedFiles[2].path, "C:\\App\\huge.bin") << "the same size, another time";
    EXPECT_EQ(result.changedFiles[2].notKept,
              "old content not kept: it is larger than the size up to which old content is kept");

    ASSERT_EQ(result.removedFiles.size(), 2u);
    EXPECT_EQ(result.removedFiles[0].path, "C:\\App\\removed.txt");
    EXPECT_FALSE(result.removedFiles[0].after.exists);
    EXPECT_EQ(result.removedFiles[0].notKept, "old content not kept: no copy was made");
    EXPECT_EQ(result.removedFiles[1].path, "C:\\App\\lost.txt");
    EXPECT_EQ(result.removedFiles[1].notKept, "old content not kept: its copy is missing from the store");
}

TEST(ChangeClassifier, WithoutAnyRecordEveryValueIsOfUnknownOldDataAndNothingMoves) {
    track::TrackResult result;
    result.files = {"C:\\App\\a.exe"};
    result.registry = {LibraryValue("HKLM\\Software\\App\\V", REG_SZ, std::string("1\0", 2)),
                       LibraryValue("NoBackslash", REG_SZ, "")};
    FakeState now;
    track::ClassifyChanges(OldStates(), L"", now, result);
    EXPECT_EQ(result.files, std::vector<std::string>{"C:\\App\\a.exe"});
    ASSERT_EQ(result.registry.size(), 2u);
    for (const track::RegistryValue& value : result.registry) {
        EXPECT_EQ(value.change, ValueChange::OldUnknown);
        EXPECT_EQ(value.before.reason, track::kNoOldStateKept);
    }
    EXPECT_TRUE(result.changedFiles.empty() && result.removedFiles.empty() && result.createdKeys.empty() &&
                result.deletedKeys.empty() && result.oldStateGaps.empty());
}

// A kernel may name keys in upper case. The keys that a setup deleted are gone by the time the
// reports are made, so the registry cannot respell them: each is named as its old state spells it,
// and so is every path below it.
TEST(RegistrySpelling, NamesDeletedKeysAsTheirOldStateSpellsThem) {
    const std::string parent = "Software\\Orvane Gone Test " + std::to_string(::GetCurrentProcessId());
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, parent.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &raw, nullptr),
              ERROR_SUCCESS);
    const UniqueKey created(raw);
    const std::string upper = "HKCU\\SOFTWARE\\ORVANE GONE TEST " + std::to_string(::GetCurrentProcessId());
    track::TrackResult result;
    result.deletedKeys = {upper + "\\OldPlugin", upper + "\\OLDPLUGIN\\Settings"};
    result.registry.push_back(track::RegistryValue{upper + "\\OLDPLUGIN\\SETTINGS\\Level", REG_DWORD, ""});
    result.registry.push_back(track::RegistryValue{upper + "\\NEVER THERE\\Level", REG_DWORD, ""});
    track::SpellRegistryAsHeld(result);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, parent.c_str());

    const std::string held = "HKCU\\" + parent;
    EXPECT_EQ(result.deletedKeys,
              (std::vector<std::string>{held + "\\OldPlugin", held + "\\OldPlugin\\Settings"}));
    EXPECT_EQ(result.registry[0].path, held + "\\OldPlugin\\Settings\\Level");
    EXPECT_EQ(result.registry[1].path, held + "\\NEVER THERE\\Level")
        << "a key nobody spelt keeps its given name";
}

} // namespace
