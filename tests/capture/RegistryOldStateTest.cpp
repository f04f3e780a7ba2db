// The capture keeps the registry's old state for the tracker. A real child process, with the capture
// loaded into it before it runs as the tracker loads it, changes values and keys below a test key
// of HKEY_CURRENT_USER; the records in the store hold what each change replaced, once per item and
// process, and every call of the child answers exactly as it does in a run without the capture.
#include "capture/OldState.h"
#include "capture/inject/CaptureInjection.h"
#include "capture/inject/InjectorProcess.h"
#include "tests/capture/InjectTestSupport.h"
#include "tests/capture/RegistryOldStateScenario.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using capture::OldPresence;
using capture::OldStateKind;
using capture::OldStateRecord;
using inject_test::Widen;
using namespace old_state_scenario;

constexpr DWORD kChildMs = 180000;

std::wstring ChildProgram() {
    return inject_test::BinFolder() + L"\\registry-old-state-child.exe";
}

// A fresh key below HKCU\Software\OrvaneTests, removed with everything below it at the end.
class ScratchKey {
public:
    ScratchKey() {
        static int counter = 0;
        subKey_ = L"Software\\OrvaneTests\\oldstate-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                  std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(counter++);
        Create(L"");
    }
    ~ScratchKey() {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, subKey_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\OrvaneTests"); // only when no other test uses it
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    const std::wstring& subKey() const { return subKey_; }
    std::wstring Path(const std::wstring& below) const {
        return below.empty() ? subKey_ : subKey_ + L"\\" + below;
    }
    // The key as the records name it.
    std::wstring Mapped(const std::wstring& below = L"") const { return L"HKCU\\" + Path(below); }

    void Create(const std::wstring& below) const {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, Path(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ::RegCloseKey(key);
    }
    void Set(const std::wstring& below, const std::wstring& name, DWORD type,
             const std::vector<uint8_t>& data) const {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, Path(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const UniqueKey owner(key);
        ASSERT_EQ(::RegSetValueExW(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }

private:
    std::wstring subKey_;
};

// A mailslot named in the environment as the tracker's channel while the object lives.
class Channel {
public:
    Channel() {
        static int counter = 0;
        const std::wstring name = L"\\\\.\\mailslot\\orvane\\oldstate-test-" +
                                  std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(counter++);
        slot_.reset(::CreateMailslotW(name.c_str(), 0, 0, nullptr));
        variable_ = std::make_unique<inject_test::ScopedVariable>(L"ORVANE_CAPTURE_CHANNEL", name.c_str());
    }
    bool valid() const { return slot_.valid(); }

    // The messages that name old state, in order.
    std::vector<std::string> OldStateMessages() const {
        std::vector<std::string> messages;
        for (;;) {
            DWORD next = MAILSLOT_NO_MESSAGE;
            if (!::GetMailslotInfo(slot_.get(), nullptr, &next, nullptr, nullptr) ||
                next == MAILSLOT_NO_MESSAGE)
                return messages;
            std::string message(next, '\0');
            DWORD read = 0;
            if (!::ReadFile(slot_.get(), &message[0], next, &read, nullptr))
                return messages;
            message.resize(read);
            if (message.find("old state") != std::string::npos)
                messages.push_back(message);
        }
    }

private:
    UniqueFile slot_;
    std::unique_ptr<inject_test::ScopedVariable> variable_;
};

std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<uint8_t> bytes;
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size))
        return bytes;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        read = 0;
    bytes.resize(read);
    return bytes;
}

struct ChildRun {
    DWORD exitCode = inject_test::kDidNotEnd;
    DWORD processId = 0;
    std::string transcript;
    std::vector<OldStateRecord> records; // every record file of the store, whole
    size_t tornBytes = 0;
    std::vector<std::string> messages; // about old state, on the channel
    double seconds = 0;                // from the resume to the end
    double plainSeconds = 0;           // the same without the capture, where run too
};

std::vector<std::wstring> RecordFiles(const std::wstring& store) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW entry;
    const UniqueFind find(::FindFirstFileW((store + L"\\old-*.rec").c_str(), &entry));
    if (!find)
        return files;
    do {
        files.push_back(store + L"\\" + entry.cFileName);
    } while (::FindNextFileW(find.get(), &entry));
    return files;
}

void ReadStore(const std::wstring& store, ChildRun& run) {
    for (const std::wstring& file : RecordFiles(store)) {
        const std::vector<uint8_t> bytes = ReadWholeFile(file);
        run.tornBytes += capture::DecodeOldStates(bytes.data(), bytes.size(), run.records);
    }
}

// Runs the child program's `scenario` on `key`, with the capture loaded into it or not, with the
// store at `store` (none when empty).
ChildRun RunChild(const std::wstring& scenario, const ScratchKey& key, bool captured,
                  const std::wstring& store, const std::wstring& text = L"") {
    ChildRun run;
    test_support::TempDir scratch("oldstate");
    const std::wstring transcript = Widen(scratch / "transcript.txt");
    const Channel channel;
    EXPECT_TRUE(channel.valid());
    std::unique_ptr<inject_test::ScopedVariable> storeVariable;
    if (!store.empty())
        storeVariable = std::make_unique<inject_test::ScopedVariable>(capture::kStoreVariable, store.c_str());
    std::wstring arguments =
        scenario + L" " + capture::QuoteArgument(key.subKey()) + L" " + capture::QuoteArgument(transcript);
    if (!text.empty())
        arguments += L" " + capture::QuoteArgument(text);
    inject_test::Child child(ChildProgram(), arguments, true);
    EXPECT_TRUE(child.started()) << inject_test::Narrow(ChildProgram());
    if (!child.started())
        return run;
    run.processId = child.id();
    if (captured) {
        const capture::CaptureAttempt attempt =
            capture::CaptureSuspendedProcess(child.process(), inject_test::BinFolder());
        EXPECT_EQ(attempt.outcome, capture::CaptureOutcome::Captured)
            << capture::DescribeCaptureAttempt(attempt);
    }
    const auto start = std::chrono::steady_clock::now();
    run.exitCode = child.ResumeAndWait(kChildMs);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::vector<uint8_t> written = ReadWholeFile(transcript);
    run.transcript.assign(written.begin(), written.end());
    run.messages = channel.OldStateMessages();
    if (!store.empty())
        ReadStore(store, run);
    return run;
}

// The scenario run twice on keys prepared alike, without the capture and with it: the child's
// calls must answer the same. Answers the captured run; `key` is its key.
ChildRun RunCapturedAndCompare(const std::wstring& scenario,
                               const std::function<void(const ScratchKey&)>& prepare, const ScratchKey& key,
                               const std::wstring& store) {
    std::string plainTranscript;
    double plainSeconds = 0;
    {
        const ScratchKey plainKey;
        prepare(plainKey);
        const ChildRun plain = RunChild(scenario, plainKey, false, std::wstring());
        EXPECT_EQ(plain.exitCode, 0u);
        plainTranscript = plain.transcript;
        plainSeconds = plain.seconds;
    }
    prepare(key);
    ChildRun run = RunChild(scenario, key, true, store);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(run.transcript.empty());
    EXPECT_EQ(run.transcript, plainTranscript) << "the capture changed what a call answered";
    run.plainSeconds = plainSeconds;
    return run;
}

// The records about `key`'s items (the child's process may change others of its own).
std::vector<const OldStateRecord*> Below(const ChildRun& run, const ScratchKey& key) {
    std::vector<const OldStateRecord*> found;
    const std::wstring top = key.Mapped();
    for (const OldStateRecord& record : run.records) {
        if (record.key.compare(0, top.size(), top) == 0)
            found.push_back(&record);
    }
    return found;
}

std::vector<const OldStateRecord*> Find(const ChildRun& run, OldStateKind kind, const std::wstring& key,
                                        const std::wstring& name = L"") {
    std::vector<const OldStateRecord*> found;
    for (const OldStateRecord& record : run.records) {
        if (record.kind == kind && record.key == key && record.name == name)
            found.push_back(&record);
    }
    return found;
}

std::string Text(const std::wstring& text) {
    return inject_test::Narrow(text);
}

// Exactly one record of `kind` for the item, holding `data` of `type`.
void ExpectKept(const ChildRun& run, OldStateKind kind, const std::wstring& key, const std::wstring& name,
                DWORD type, const std::vector<uint8_t>& data) {
    const std::vector<const OldStateRecord*> found = Find(run, kind, key, name);
    ASSERT_EQ(found.size(), 1u) << Text(key) << " \"" << Text(name) << "\"";
    EXPECT_EQ(found[0]->presence, OldPresence::Present) << Text(name);
    EXPECT_EQ(found[0]->type, type) << Text(name);
    EXPECT_EQ(found[0]->size, data.size()) << Text(name);
    EXPECT_TRUE(found[0]->data == data) << Text(name) << ": " << found[0]->data.size() << " bytes kept";
}

void ExpectAbsent(const ChildRun& run, const std::wstring& key, const std::wstring& name) {
    const std::vector<const OldStateRecord*> found = Find(run, OldStateKind::Value, key, name);
    ASSERT_EQ(found.size(), 1u) << Text(name);
    EXPECT_EQ(found[0]->presence, OldPresence::Absent) << Text(name);
    EXPECT_TRUE(found[0]->data.empty());
}

// Every record comes from the child, in the order its sequence numbers say, and is whole.
void ExpectWellFormed(const ChildRun& run) {
    EXPECT_EQ(run.tornBytes, 0u);
    uint64_t last = 0;
    for (const OldStateRecord& record : run.records) {
        EXPECT_EQ(record.processId, run.processId);
        EXPECT_GE(record.sequence, last) << Text(record.key);
        last = record.sequence;
    }
    EXPECT_TRUE(run.messages.empty()) << run.messages.front();
}

std::vector<uint8_t> Pattern(size_t bytes, unsigned seed) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<uint8_t>((i * 7 + seed + (i >> 12)) & 0xFF);
    return data;
}

std::vector<uint8_t> Number(uint32_t value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

class RegistryOldState : public testing::Test {
protected:
    std::wstring Store() const { return Widen(store_.path()); }

    test_support::TempDir store_{"oldstate-store"};
    ScratchKey key_;
};

void PrepareValues(const ScratchKey& key) {
    for (const TypedValue& value : TypedValues())
        key.Set(L"", value.name, value.type, value.oldData);
    key.Set(L"", kTwiceValue, REG_SZ, StringData(L"twice, first"));
    key.Set(L"", kLargeValue, REG_BINARY, Pattern(kLargeBytes, 1));
    key.Set(L"", kTooLargeValue, REG_BINARY, Pattern(kTooLargeBytes, 2));
    key.Set(L"", kDoomedValue, REG_EXPAND_SZ, StringData(L"doomed"));
    key.Set(L"", kSetOnlyValue, REG_DWORD, {0xDD, 0xCC, 0xBB, 0xAA});
}

TEST_F(RegistryOldState, KeepsWhatEachValueHeldBeforeItsFirstChange) {
    const ChildRun run = RunCapturedAndCompare(L"values", PrepareValues, key_, Store());
    ExpectWellFormed(run);
    const std::wstring top = key_.Mapped();
    for (const TypedValue& value : TypedValues())
        ExpectKept(run, OldStateKind::Value, top, value.name, value.type, value.oldData);
    ExpectAbsent(run, top, kNewValue);
    // Written twice, the second time in other letter case: one record, with the data from before both.
    ExpectKept(run, OldStateKind::Value, top, kTwiceValue, REG_SZ, StringData(L"twice, first"));
    ExpectKept(run, OldStateKind::Value, top, kLargeValue, REG_BINARY, Pattern(kLargeBytes, 1));
    const std::vector<const OldStateRecord*> tooLarge = Find(run, OldStateKind::Value, top, kTooLargeValue);
    ASSERT_EQ(tooLarge.size(), 1u);
    EXPECT_EQ(tooLarge[0]->presence, OldPresence::TooLarge);
    EXPECT_EQ(tooLarge[0]->type, static_cast<uint32_t>(REG_BINARY));
    EXPECT_EQ(tooLarge[0]->size, kTooLargeBytes);
    EXPECT_TRUE(tooLarge[0]->data.empty());
    // Deleted with RegDeleteValue; one that was not there fails, and was absent.
    ExpectKept(run, OldStateKind::Value, top, kDoomedValue, REG_EXPAND_SZ, StringData(L"doomed"));
    ExpectAbsent(run, top, kMissingValue);
    // Written through a handle that may not read: the capture reads through one of its own.
    ExpectKept(run, OldStateKind::Value, top, kSetOnlyValue, REG_DWORD, {0xDD, 0xCC, 0xBB, 0xAA});
    // RegSetKeyValue makes the key it writes into.
    EXPECT_EQ(Find(run, OldStateKind::KeyCreated, key_.Mapped(kImplicitKey)).size(), 1u);
    ExpectAbsent(run, key_.Mapped(kImplicitKey), kImplicitValue);
    EXPECT_EQ(Below(run, key_).size(), TypedValues().size() + 9);
}

TEST_F(RegistryOldState, RecordsEveryLevelACreationAddsAndNoOtherKey) {
    const ChildRun run = RunCapturedAndCompare(
        L"create", [](const ScratchKey& key) { key.Create(kExistingKey); }, key_, Store());
    ExpectWellFormed(run);
    std::vector<std::string> created;
    for (const OldStateRecord* record : Below(run, key_)) {
        EXPECT_EQ(record->kind, OldStateKind::KeyCreated);
        EXPECT_EQ(record->presence, OldPresence::Absent);
        created.push_back(Text(record->key.substr(key_.Mapped().size())));
    }
    EXPECT_EQ(created, (std::vector<std::string>{"\\Existing\\N1", "\\Existing\\N1\\N2",
                                                 "\\Existing\\N1\\N2\\N3", "\\Existing\\N1\\Other"}));
    // The transcript says what the system did with one NtCreateKey of three levels below a missing
    // parent: under Wine 8, as on Windows, it fails and creates nothing.
    EXPECT_NE(run.transcript.find("nt create -1073741772"), std::string::npos) << run.transcript;
}

void PrepareTrees(const ScratchKey& key) {
    key.Set(kTreeKey, L"T1", REG_SZ, StringData(L"tree one"));
    key.Set(kTreeKey, L"T2", REG_DWORD, Number(22));
    key.Set(kTreeKey, L"", REG_SZ, StringData(L"tree default"));
    key.Set(L"Tree\\Sub1", L"S", REG_BINARY, {1, 2, 3});
    key.Set(L"Tree\\Sub1\\Deep", L"D", REG_MULTI_SZ, BytesOf(std::wstring(L"a\0b\0\0", 5)));
    key.Create(L"Tree\\Sub2");
    key.Set(kShellKey, L"V", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    key.Set(L"Shell\\Inner", L"I", REG_SZ, StringData(L"inner"));
    key.Set(kEmptiedKey, L"E1", REG_DWORD, Number(1));
    key.Set(kEmptiedKey, L"E2", REG_SZ, StringData(L"e2"));
    key.Set(L"Emptied\\Child", L"C", REG_DWORD, Number(3));
}

TEST_F(RegistryOldState, KeepsEveryKeyAndValueOfADeletedTree) {
    const ChildRun run = RunCapturedAndCompare(L"trees", PrepareTrees, key_, Store());
    ExpectWellFormed(run);
    for (const wchar_t* deleted : {L"Tree", L"Tree\\Sub1", L"Tree\\Sub1\\Deep", L"Tree\\Sub2", L"Shell",
                                   L"Shell\\Inner", L"Emptied\\Child"}) {
        const std::vector<const OldStateRecord*> found =
            Find(run, OldStateKind::DeletedKey, key_.Mapped(deleted));
        EXPECT_EQ(found.size(), 1u) << Text(deleted);
    }
    const auto kept = [&](const wchar_t* below, const wchar_t* name, DWORD type,
                          const std::vector<uint8_t>& data) {
        ExpectKept(run, OldStateKind::DeletedValue, key_.Mapped(below), name, type, data);
    };
    kept(L"Tree", L"T1", REG_SZ, StringData(L"tree one"));
    kept(L"Tree", L"T2", REG_DWORD, Number(22));
    kept(L"Tree", L"", REG_SZ, StringData(L"tree default"));
    kept(L"Tree\\Sub1", L"S", REG_BINARY, {1, 2, 3});
    kept(L"Tree\\Sub1\\Deep", L"D", REG_MULTI_SZ, BytesOf(std::wstring(L"a\0b\0\0", 5)));
    kept(L"Shell", L"V", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    kept(L"Shell\\Inner", L"I", REG_SZ, StringData(L"inner"));
    kept(L"Emptied\\Child", L"C", REG_DWORD, Number(3));
    // RegDeleteTree without a subkey empties the key: its values go one by one, the key stays.
    ExpectKept(run, OldStateKind::Value, key_.Mapped(kEmptiedKey), L"E1", REG_DWORD, Number(1));
    ExpectKept(run, OldStateKind::Value, key_.Mapped(kEmptiedKey), L"E2", REG_SZ, StringData(L"e2"));
    EXPECT_TRUE(Find(run, OldStateKind::DeletedKey, key_.Mapped(kEmptiedKey)).empty());
    EXPECT_TRUE(Find(run, OldStateKind::DeletedTreeIncomplete, key_.Mapped(kTreeKey)).empty());
    EXPECT_EQ(Below(run, key_).size(), 7u + 8u + 2u);
}

void PrepareMany(const ScratchKey& key, const wchar_t* below, int values) {
    HKEY opened = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, key.Path(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &opened, nullptr),
              ERROR_SUCCESS);
    const UniqueKey owner(opened);
    for (int i = 0; i < values; ++i) {
        const DWORD data = static_cast<DWORD>(i) * 2654435761u;
        ASSERT_EQ(::RegSetValueExW(opened, (L"V" + std::to_wstring(i)).c_str(), 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&data), sizeof data),
                  ERROR_SUCCESS);
    }
}

TEST_F(RegistryOldState, KeepsATreeOfTenThousandValuesWhole) {
    const ChildRun run = RunCapturedAndCompare(
        L"big", [](const ScratchKey& key) { PrepareMany(key, kBigKey, kBigValues); }, key_, Store());
    ExpectWellFormed(run);
    const std::wstring big = key_.Mapped(kBigKey);
    EXPECT_EQ(Find(run, OldStateKind::DeletedKey, big).size(), 1u);
    std::map<std::wstring, const OldStateRecord*> values;
    for (const OldStateRecord& record : run.records) {
        if (record.kind == OldStateKind::DeletedValue && record.key == big)
            values[record.name] = &record;
    }
    ASSERT_EQ(values.size(), static_cast<size_t>(kBigValues));
    for (int i = 0; i < kBigValues; ++i) {
        const auto found = values.find(L"V" + std::to_wstring(i));
        ASSERT_NE(found, values.end()) << i;
        EXPECT_EQ(found->second->data, Number(static_cast<uint32_t>(i) * 2654435761u)) << i;
    }
    EXPECT_TRUE(Find(run, OldStateKind::DeletedTreeIncomplete, big).empty());
    std::printf(
        "[          ] a tree of %d values deleted: the child ran %.2f s, %.2f s without the capture\n",
        kBigValues, run.seconds, run.plainSeconds);
}

TEST_F(RegistryOldState, SaysWhatATreePastTheBoundLeftOut) {
    constexpr int kValues = 65536 + 100;
    PrepareMany(key_, kBoundKey, kValues);
    const ChildRun run = RunChild(L"bound", key_, true, Store());
    ASSERT_EQ(run.exitCode, 0u);
    ExpectWellFormed(run);
    const std::wstring bound = key_.Mapped(kBoundKey);
    // The key itself is one of the 65,536 records the bound allows.
    EXPECT_EQ(Find(run, OldStateKind::DeletedKey, bound).size(), 1u);
    EXPECT_EQ(Below(run, key_).size(), 65536u + 1u);
    const std::vector<const OldStateRecord*> incomplete =
        Find(run, OldStateKind::DeletedTreeIncomplete, bound);
    ASSERT_EQ(incomplete.size(), 1u);
    EXPECT_EQ(Text(incomplete[0]->reason),
              "101 values below it were not kept: past the bound of 65536 values and keys");
    std::printf("[          ] %d values deleted, 65536 records kept in %.2f s\n", kValues, run.seconds);
}

void PrepareDeep(const ScratchKey& key) {
    std::wstring path = kDeepKey;
    for (int level = 0; level < kDeepLevels; ++level)
        path += L"\\k";
    key.Set(path, L"Leaf", REG_DWORD, Number(1));
}

TEST_F(RegistryOldState, SaysWhatATreeDeeperThanTheBoundLeftOut) {
    // The system refuses to delete a key with keys below it; what it would have removed is kept all
    // the same, since the capture cannot know the answer before the call.
    const ChildRun run = RunCapturedAndCompare(L"deep", PrepareDeep, key_, Store());
    ExpectWellFormed(run);
    std::wstring path = kDeepKey;
    for (int depth = 0; depth <= 512; ++depth, path += L"\\k")
        ASSERT_EQ(Find(run, OldStateKind::DeletedKey, key_.Mapped(path)).size(), 1u) << depth;
    EXPECT_TRUE(Find(run, OldStateKind::DeletedKey, key_.Mapped(path)).empty());
    const std::vector<const OldStateRecord*> incomplete =
        Find(run, OldStateKind::DeletedTreeIncomplete, key_.Mapped(kDeepKey));
    ASSERT_EQ(incomplete.size(), 1u);
    EXPECT_EQ(Text(incomplete[0]->reason),
              "1 key below it was not kept: past the bound of 512 levels, and what lies "
              "under such keys was not counted");
    EXPECT_EQ(Below(run, key_).size(), 513u + 1u);
}

TEST_F(RegistryOldState, LeavesEveryAnswerAsItWasAlsoForCallsTheSystemRefuses) {
    if (test_support::RunsUnderEmulation())
        GTEST_SKIP() << "qemu-i386 fault: a writev with an unreadable buffer after the first makes a short "
                        "write, not EFAULT, and Wine's client ends the process (docs/32bit-emulation.md)";
    const ChildRun run = RunCapturedAndCompare(
        L"failures", [](const ScratchKey&) {}, key_, Store());
    EXPECT_EQ(run.tornBytes, 0u);
    EXPECT_TRUE(run.messages.empty());
    // Bad pointers are the system's to refuse (STATUS_ACCESS_VIOLATION), not the capture's to crash on.
    EXPECT_NE(run.transcript.find("nt set bad name -1073741819"), std::string::npos) << run.transcript;
    EXPECT_NE(run.transcript.find("nt create bad attributes -1073741819"), std::string::npos)
        << run.transcript;
}

void PrepareHandles(const ScratchKey& key) {
    uint32_t data = 0x100;
    for (const wchar_t* below : kHandleKeys)
        key.Set(below, kHandleValue, REG_DWORD, Number(data++));
}

TEST_F(RegistryOldState, NamesEachWriteByTheKeyItWentToAsHandlesAreClosedMovedAndRenamed) {
    const ChildRun run = RunCapturedAndCompare(L"handles", PrepareHandles, key_, Store());
    ExpectWellFormed(run);
    uint32_t data = 0x100;
    for (const wchar_t* below : kHandleKeys)
        ExpectKept(run, OldStateKind::Value, key_.Mapped(below), kHandleValue, REG_DWORD, Number(data++));
    // Where the child could rename (not under Wine, see the child), the key's open handle writes
    // under the new name.
    const bool renamed = run.transcript.find("rename 0 ") != std::string::npos;
    ExpectAbsent(run, key_.Mapped(renamed ? kRenamedKey : kHandleKeys[3]), kAfterRenameValue);
    // Below keys the child created, a value was not there before.
    EXPECT_EQ(Find(run, OldStateKind::KeyCreated, key_.Mapped(L"Fresh")).size(), 1u);
    EXPECT_EQ(Find(run, OldStateKind::KeyCreated, key_.Mapped(kFreshPath)).size(), 1u);
    ExpectAbsent(run, key_.Mapped(kFreshPath), kFreshValue);
    EXPECT_EQ(Below(run, key_).size(), 4u + 1u + 3u) << run.transcript;
}

TEST_F(RegistryOldState, EachProcessKeepsItsOwnFirstChangeInTheOrderOfTheChanges) {
    key_.Set(L"", kSharedValue, REG_SZ, StringData(L"before the setup"));
    const ChildRun first = RunChild(L"shared", key_, true, Store(), L"first");
    const ChildRun second = RunChild(L"shared", key_, true, Store(), L"second");
    ASSERT_EQ(first.exitCode, 0u);
    ASSERT_EQ(second.exitCode, 0u);
    // Both runs read the same store: the second sees both processes' files.
    const std::vector<const OldStateRecord*> found =
        Find(second, OldStateKind::Value, key_.Mapped(), kSharedValue);
    ASSERT_EQ(found.size(), 2u);
    const OldStateRecord* earlier = found[0]->sequence < found[1]->sequence ? found[0] : found[1];
    const OldStateRecord* later = earlier == found[0] ? found[1] : found[0];
    EXPECT_EQ(earlier->processId, first.processId);
    EXPECT_EQ(earlier->data, StringData(L"before the setup"));
    EXPECT_EQ(later->processId, second.processId);
    EXPECT_EQ(later->data, StringData(L"first"));
}

TEST_F(RegistryOldState, SaysOnceThatTheStoreCannotBeWrittenAndChangesNothingElse) {
    const std::wstring missing = Store() + L"\\missing\\store";
    const ChildRun run = RunCapturedAndCompare(L"values", PrepareValues, key_, missing);
    EXPECT_TRUE(run.records.empty());
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_NE(run.messages[0].find("\told state cannot be kept: the store cannot be written (error 3)"),
              std::string::npos)
        << run.messages[0];
    EXPECT_EQ(run.messages[0].rfind("oldstate\t" + std::to_string(run.processId) + "\t", 0), 0u)
        << run.messages[0];
}

} // namespace
