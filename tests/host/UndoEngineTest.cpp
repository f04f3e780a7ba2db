// orvane-track --undo run as a user runs it, on plans written for real values below a key of the
// test's own and real files in a folder of its own: every value type comes back with its exact type
// and bytes, whatever changed again since the setup is left alone and said so, and a plan that
// cannot be used changes nothing.
#include "host/track/result/TextEncoding.h"
#include "host/track/result/UndoItems.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/UndoTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using host_tests::ProcessResult;
using track::UndoAction;
using track::UndoItem;
using track::ValueData;
using undo_tests::GetExact;
using undo_tests::SetExact;
using undo_tests::WideBytes;

bool HasLine(const ProcessResult& run, const std::string& line) {
    const auto lines = host_tests::Lines(run.out);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

UndoItem ValueItem(UndoAction action, const std::string& key, const std::string& name, ValueData now = {},
                   ValueData old = {}) {
    UndoItem item;
    item.action = action;
    item.path = key;
    item.name = name;
    item.now = std::move(now);
    item.old = std::move(old);
    return item;
}

UndoItem PathItem(UndoAction action, const std::string& path) {
    UndoItem item;
    item.action = action;
    item.path = path;
    return item;
}

class Undo : public ::testing::Test {
protected:
    void SetUp() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str()); }
    void TearDown() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str()); }

    // The test key, or a key below it, as a plan names it.
    std::string Key(const std::string& below = std::string()) const { return "HKCU\\" + SubKey(below); }
    std::string SubKey(const std::string& below = std::string()) const {
        return below.empty() ? key_ : key_ + "\\" + below;
    }
    ProcessResult Run(const std::vector<UndoItem>& items) { return RunText(undo_tests::PlanText(items)); }
    ProcessResult RunText(const std::string& text) {
        test_support::WriteTextFile(plan_, text);
        return undo_tests::RunUndo(plan_);
    }
    bool Value(const std::string& below, const std::wstring& name, ValueData& data) const {
        return GetExact(HKEY_CURRENT_USER, SubKey(below), name, data);
    }

    const std::string key_ = "Software\\OrvaneUndoTest " + std::to_string(::GetCurrentProcessId());
    test_support::TempDir dir_{"undo"};
    const std::string plan_ = dir_ / "undo plan (1) & 100%.txt";
};

struct TypeCase {
    const char* name;
    ValueData now; // what the setup left
    ValueData old; // what was there before
};

std::vector<TypeCase> EveryTypeOfValue() {
    std::vector<std::uint8_t> big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return {
        {"binary, odd length", {REG_SZ, WideBytes(L"new")}, {REG_BINARY, {0x01, 0x02, 0x03}}},
        {"multi-string", {REG_DWORD, {5, 0, 0, 0}}, {REG_MULTI_SZ, WideBytes(std::wstring(L"a\0bc\0", 5))}},
        {"expand-string", {REG_BINARY, {}}, {REG_EXPAND_SZ, WideBytes(L"%TEMP%\\orvane")}},
        {"qword", {REG_SZ, WideBytes(L"8")}, {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0x80}}},
        {"none, odd length", {REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}}, {REG_NONE, {0, 1, 2, 3, 4}}},
        {"string without its NUL", {REG_BINARY, {9}}, {REG_SZ, WideBytes(L"abc", false)}},
        {"string of odd length", {REG_BINARY, {9}}, {REG_SZ, {'a', 0, 'b', 0, 'c', 0, 'd'}}},
        {"empty string", {REG_SZ, WideBytes(L"x")}, {REG_SZ, {}}},
        {"big-endian dword", {REG_DWORD, {1, 0, 0, 0}}, {REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}}},
        {"type of its own", {REG_DWORD, {1, 0, 0, 0}}, {0x12345, {0xFF}}},
        {"", {REG_SZ, WideBytes(L"new default")}, {REG_SZ, WideBytes(L"old default")}},
        {"na\xC3\xAFve \xE6\x96\x87", {REG_SZ, WideBytes(L"\u6587")}, {REG_MULTI_SZ, WideBytes(L"\u03a9\0")}},
        {"one megabyte", {REG_BINARY, {1}}, {REG_BINARY, big}},
    };
}

TEST_F(Undo, RestoresEveryTypeOfValueWithItsExactTypeAndBytes) {
    std::vector<UndoItem> items;
    for (const TypeCase& value : EveryTypeOfValue()) {
        ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey(), track::Utf8ToWide(value.name), value.now))
            << value.name;
        items.push_back(ValueItem(UndoAction::RestoreValue, Key(), value.name, value.now, value.old));
    }
    const ProcessResult run = Run(items);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    for (const TypeCase& value : EveryTypeOfValue()) {
        ValueData now;
        ASSERT_TRUE(Value("", track::Utf8ToWide(value.name), now)) << value.name;
        EXPECT_EQ(now.type, value.old.type) << value.name;
        EXPECT_TRUE(now.bytes == value.old.bytes) << value.name << ": " << now.bytes.size() << " bytes";
        const std::string shown = *value.name ? value.name : "(default)";
        EXPECT_TRUE(HasLine(run, "restored value " + Key() + "\\" + shown)) << run.out;
    }
    EXPECT_TRUE(HasLine(run, "Undo: " + std::to_string(items.size()) + " done, 0 left alone.")) << run.out;
}

// The library records string data as the ANSI calls read it; a value that still holds that is
// what the setup left.
TEST_F(Undo, TakesStringDataInTheAnsiFormAsWhatTheSetupLeft) {
    ASSERT_TRUE(
        SetExact(HKEY_CURRENT_USER, SubKey(), L"Path", {REG_EXPAND_SZ, WideBytes(L"C:\\new;%TEMP%")}));
    const std::string ansi = "C:\\new;%TEMP%";
    ValueData recorded{REG_EXPAND_SZ, std::vector<std::uint8_t>(ansi.begin(), ansi.end())};
    recorded.bytes.push_back(0);
    const ValueData old{REG_SZ, WideBytes(L"C:\\old")};
    const ProcessResult run = Run({ValueItem(UndoAction::RestoreValue, Key(), "Path", recorded, old)});
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    ValueData now;
    ASSERT_TRUE(Value("", L"Path", now));
    EXPECT_TRUE(now == old);
}

TEST_F(Undo, LeavesAValueThatChangedAgainAloneAndSaysSo) {
    const ValueData left{REG_SZ, WideBytes(L"as the setup left it")},
        later{REG_SZ, WideBytes(L"changed by the user since")}, old{REG_SZ, WideBytes(L"before")};
    ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey(), L"Changed since", later));
    ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey(), L"New, changed since", later));
    ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey(), L"New", left));
    ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey(), L"Deleted, made again since", later));
    const ProcessResult run = Run({
        ValueItem(UndoAction::RestoreValue, Key(), "Changed since", left, old),
        ValueItem(UndoAction::DeleteValue, Key(), "New, changed since", left),
        ValueItem(UndoAction::DeleteValue, Key(), "New", left),
        ValueItem(UndoAction::RecreateValue, Key(), "Deleted, made again since", {}, old),
        ValueItem(UndoAction::RestoreValue, Key("Gone"), "Its key is gone", left, old),
    });
    EXPECT_EQ(run.exitCode, 2u) << run.out << run.err;
    for (const char* name : {"Changed since", "New, changed since", "Deleted, made again since"}) {
        ValueData now;
        ASSERT_TRUE(Value("", track::Utf8ToWide(name), now)) << name;
        EXPECT_TRUE(now == later) << name;
        EXPECT_TRUE(HasLine(run, "left alone: value " + Key() + "\\" + name +
                                     " (it no longer holds what the setup left)"))
            << run.out;
    }
    ValueData gone;
    EXPECT_FALSE(Value("", L"New", gone));
    EXPECT_TRUE(HasLine(run, "deleted value " + Key() + "\\New")) << run.out;
    EXPECT_FALSE(undo_tests::KeyExists(HKEY_CURRENT_USER, SubKey("Gone")))
        << "no key is made to restore into";
    EXPECT_TRUE(HasLine(run, "Undo: 1 done, 4 left alone.")) << run.out;
}

TEST_F(Undo, RecreatesADeletedKeyTreeShallowestFirstWithItsValues) {
    ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey(), L"Marker", {REG_DWORD, {1, 0, 0, 0}}));
    const ValueData binary{REG_BINARY, {0xDE, 0xAD, 0xBE}}, text{REG_SZ, WideBytes(L"default of A")};
    const ProcessResult run = Run({
        PathItem(UndoAction::RecreateKey, Key("A")),
        PathItem(UndoAction::RecreateKey, Key("A\\B")),
        PathItem(UndoAction::RecreateKey, Key("A\\B\\Empty")),
        ValueItem(UndoAction::RecreateValue, Key("A\\B"), "Data", {}, binary),
        ValueItem(UndoAction::RecreateValue, Key("A"), "", {}, text),
        ValueItem(UndoAction::RecreateValue, Key(), "Deleted beside a kept one", {}, text),
    });
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    ValueData data;
    ASSERT_TRUE(Value("A\\B", L"Data", data));
    EXPECT_TRUE(data == binary);
    ASSERT_TRUE(Value("A", L"", data));
    EXPECT_TRUE(data == text);
    ASSERT_TRUE(Value("", L"Deleted beside a kept one", data));
    EXPECT_TRUE(undo_tests::KeyExists(HKEY_CURRENT_USER, SubKey("A\\B\\Empty")));
    EXPECT_TRUE(HasLine(run, "re-created key " + Key("A\\B"))) << run.out;
    EXPECT_TRUE(HasLine(run, "re-created value " + Key("A") + "\\(default)")) << run.out;
}

TEST_F(Undo, DeletesACreatedKeyOnlyOnceItHoldsNothing) {
    ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey("Made\\Deeper"), L"New", {REG_DWORD, {7, 0, 0, 0}}));
    ASSERT_TRUE(
        SetExact(HKEY_CURRENT_USER, SubKey("Made with a user value"), L"Mine", {REG_DWORD, {1, 0, 0, 0}}));
    ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey("Made with a user key\\Mine"), L"", {REG_SZ, {}}));
    const ProcessResult run = Run({
        ValueItem(UndoAction::DeleteValue, Key("Made\\Deeper"), "New", {REG_DWORD, {7, 0, 0, 0}}),
        PathItem(UndoAction::DeleteKey, Key("Made\\Deeper")),
        PathItem(UndoAction::DeleteKey, Key("Made")),
        PathItem(UndoAction::DeleteKey, Key("Made with a user value")),
        PathItem(UndoAction::DeleteKey, Key("Made with a user key")),
    });
    EXPECT_EQ(run.exitCode, 2u) << run.out << run.err;
    EXPECT_FALSE(undo_tests::KeyExists(HKEY_CURRENT_USER, SubKey("Made")));
    EXPECT_TRUE(undo_tests::KeyExists(HKEY_CURRENT_USER, SubKey("Made with a user value")));
    EXPECT_TRUE(undo_tests::KeyExists(HKEY_CURRENT_USER, SubKey("Made with a user key\\Mine")));
    EXPECT_TRUE(HasLine(run, "deleted key " + Key("Made"))) << run.out;
    EXPECT_TRUE(HasLine(run, "left alone: key " + Key("Made with a user value") + " (it is not empty)"))
        << run.out;
}

// Physical names: HKLM\Software\Wow6432Node is the 32-bit programs' key in either bitness.
TEST_F(Undo, NamesKeysBelowWow6432NodeByTheirPhysicalPath) {
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    if (sizeof(void*) == 4 && !wow64)
        GTEST_SKIP() << "32-bit Windows has one registry view";
    const std::string name = "Software\\OrvaneUndoTest " + std::to_string(::GetCurrentProcessId());
    const ValueData old{REG_SZ, WideBytes(L"32-bit view")};
    const ProcessResult run = Run({ValueItem(
        UndoAction::RecreateValue, "HKLM\\Software\\Wow6432Node\\" + name.substr(9), "V", {}, old)});
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    ValueData data;
    EXPECT_TRUE(GetExact(HKEY_LOCAL_MACHINE, name, L"V", data, KEY_WOW64_32KEY) && data == old);
    EXPECT_FALSE(undo_tests::KeyExists(HKEY_LOCAL_MACHINE, name, KEY_WOW64_64KEY));
    ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), KEY_WOW64_32KEY, 0);
}

TEST_F(Undo, LeavesWhatItCannotPutBackAloneWithTheReason) {
    UndoItem unknown;
    unknown.action = UndoAction::Leave;
    unknown.path = "value " + Key() + "\\Setting";
    unknown.reason = "old data unknown";
    const ProcessResult run = Run({unknown});
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_TRUE(HasLine(run, "left alone: value " + Key() + "\\Setting (old data unknown)")) << run.out;
}

class UndoFiles : public Undo {
protected:
    std::wstring Path(const std::string& name) const { return track::Utf8ToWide(dir_ / name); }
    // A file item whose path and kept copy lie in the test folder; the copy named relative to the plan.
    UndoItem FileItem(UndoAction action, const std::string& name,
                      const std::string& kept = std::string()) const {
        UndoItem item = PathItem(action, dir_ / name);
        item.kept = kept;
        return item;
    }

    const std::uint64_t oldTime_ = undo_tests::Time("2001-02-03T04:05:06.7000001Z");
    const std::uint64_t setupTime_ = undo_tests::Time("2024-05-01T12:34:56.1234567Z");
};

TEST_F(UndoFiles, RestoresChangedAndRemovedFilesFromTheirKeptCopiesWithTheirOldFacts) {
    ASSERT_TRUE(::CreateDirectoryW(Path("kept").c_str(), nullptr));
    const std::string oldContent = "old content\r\n", newContent = "the setup's content, longer\r\n";
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("kept\\changed.txt"), oldContent, setupTime_));
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("kept\\removed.txt"), oldContent, setupTime_));
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("changed & 100%.txt"), newContent, setupTime_));
    UndoItem changed = FileItem(UndoAction::RestoreFile, "changed & 100%.txt", "kept\\changed.txt");
    changed.nowFile = undo_tests::FactsOf(Path("changed & 100%.txt"));
    changed.oldFile = {true, oldContent.size(), oldTime_, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE};
    UndoItem removed =
        FileItem(UndoAction::RecreateFile, "gone folder\\removed \xCE\xA9.txt", dir_ / "kept\\removed.txt");
    removed.oldFile = {true, oldContent.size(), oldTime_, FILE_ATTRIBUTE_HIDDEN};

    const ProcessResult run = Run({changed, removed});
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    for (const std::string& name :
         {std::string("changed & 100%.txt"), std::string("gone folder\\removed \xCE\xA9.txt")}) {
        const track::FileFacts facts = undo_tests::FactsOf(Path(name));
        EXPECT_EQ(undo_tests::ContentOf(Path(name)), oldContent) << name;
        EXPECT_EQ(track::FormatFileTime(facts.writeTime), track::FormatFileTime(oldTime_)) << name;
    }
    EXPECT_NE(undo_tests::FactsOf(Path("changed & 100%.txt")).attributes & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_NE(undo_tests::FactsOf(Path("gone folder\\removed \xCE\xA9.txt")).attributes &
                  FILE_ATTRIBUTE_HIDDEN,
              0u);
    EXPECT_TRUE(HasLine(run, "restored file " + dir_ / "changed & 100%.txt")) << run.out;
    EXPECT_TRUE(HasLine(run, "re-created file " + dir_ / "gone folder\\removed \xCE\xA9.txt")) << run.out;
    ::SetFileAttributesW(Path("changed & 100%.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(UndoFiles, LeavesFilesThatChangedSinceOrLackTheirCopyAlone) {
    ASSERT_TRUE(::CreateDirectoryW(Path("kept").c_str(), nullptr));
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("kept\\a.txt"), "old", setupTime_));
    ASSERT_TRUE(
        undo_tests::WriteFileWithTime(Path("edited since.txt"), "edited by the user", setupTime_ + 10));
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("no copy.txt"), "new", setupTime_));
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("made again.txt"), "someone's", setupTime_));
    UndoItem edited = FileItem(UndoAction::RestoreFile, "edited since.txt", "kept\\a.txt");
    edited.nowFile = {true, 18, setupTime_, 0};
    edited.oldFile = {true, 3, oldTime_, 0};
    UndoItem noCopy = FileItem(UndoAction::RestoreFile, "no copy.txt", "kept\\missing.txt");
    noCopy.nowFile = undo_tests::FactsOf(Path("no copy.txt"));
    noCopy.oldFile = {true, 3, oldTime_, 0};
    UndoItem madeAgain = FileItem(UndoAction::RecreateFile, "made again.txt", "kept\\a.txt");
    madeAgain.oldFile = {true, 3, oldTime_, 0};
    UndoItem added = FileItem(UndoAction::DeleteAddedFile, "edited since.txt");
    added.nowFile = edited.nowFile;

    const ProcessResult run = Run({edited, noCopy, madeAgain, added});
    EXPECT_EQ(run.exitCode, 2u) << run.out << run.err;
    EXPECT_EQ(undo_tests::ContentOf(Path("edited since.txt")), "edited by the user");
    EXPECT_EQ(undo_tests::ContentOf(Path("no copy.txt")), "new");
    EXPECT_EQ(undo_tests::ContentOf(Path("made again.txt")), "someone's");
    EXPECT_TRUE(HasLine(run, "left alone: file " + dir_ / "edited since.txt" +
                                 " (it no longer holds what the setup left)"))
        << run.out;
    EXPECT_TRUE(HasLine(run, "left alone: file " + dir_ / "no copy.txt" +
                                 " (its kept copy is missing: " + dir_ / "kept\\missing.txt" + ")"))
        << run.out;
    EXPECT_TRUE(HasLine(run, "left alone: file " + dir_ / "made again.txt" +
                                 " (it no longer holds what the setup left)"))
        << run.out;
    EXPECT_TRUE(HasLine(run, "Undo: 0 done, 4 left alone.")) << run.out;
}

TEST_F(UndoFiles, DeletesAddedFilesThenTheCreatedFoldersThatAreEmpty) {
    ASSERT_TRUE(::CreateDirectoryW(Path("made").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(Path("made\\deeper").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(Path("made, then used").c_str(), nullptr));
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("made\\deeper\\added.txt"), "added", setupTime_));
    ASSERT_TRUE(undo_tests::WriteFileWithTime(Path("made, then used\\mine.txt"), "mine", setupTime_));
    UndoItem added = FileItem(UndoAction::DeleteAddedFile, "made\\deeper\\added.txt");
    added.nowFile = undo_tests::FactsOf(Path("made\\deeper\\added.txt"));
    const ProcessResult run = Run({added, FileItem(UndoAction::DeleteFolder, "made\\deeper"),
                                   FileItem(UndoAction::DeleteFolder, "made"),
                                   FileItem(UndoAction::DeleteFolder, "made, then used")});
    EXPECT_EQ(run.exitCode, 2u) << run.out << run.err;
    EXPECT_FALSE(test_support::FileExists(dir_ / "made"));
    EXPECT_TRUE(test_support::FileExists(dir_ / "made, then used\\mine.txt"));
    EXPECT_TRUE(HasLine(run, "deleted file " + dir_ / "made\\deeper\\added.txt")) << run.out;
    EXPECT_TRUE(HasLine(run, "left alone: folder " + dir_ / "made, then used" + " (it is not empty)"))
        << run.out;
}

// Each plan holds an item that would act (a value to delete) before the bad line: nothing may be done.
TEST_F(Undo, APlanThatCannotBeUsedChangesNothingAndSaysWhichLine) {
    const ValueData left{REG_SZ, WideBytes(L"left")};
    const std::string good = track::UndoPlanHeaderLine() + "\r\n" +
                             track::FormatUndoItem(ValueItem(UndoAction::DeleteValue, Key(), "Stays", left)) +
                             "\r\n";
    const std::string bigHex(2u << 20, 'a');
    const struct {
        const char* what;
        std::string text;
        const char* says;
    } plans[] = {
        {"bad hex", good + "delete-value\t" + Key() + "\tX\tnow=REG_SZ:6g00\r\nend\t2\r\n", "line 3: "},
        {"wrong field count", good + "delete-key\t" + Key() + "\textra\r\nend\t2\r\n",
         "line 3: delete-key takes 1"},
        {"unknown item", good + "frobnicate\t" + Key() + "\r\nend\t2\r\n",
         "line 3: unknown item \"frobnicate\""},
        {"truncated", good + "restore-value\t" + Key() + "\tX\tnow=REG_SZ:61", "cut short"},
        {"a megabyte of broken hex",
         good + "restore-value\t" + Key() + "\tX\tnow=REG_BINARY:" + bigHex +
             "z\told=REG_NONE:\r\nend\t2\r\n",
         "line 3: the data in \"now=\" is not whole hex bytes"},
        {"end count", good + "end\t5\r\n", "line 3: the end line counts 5 items"},
        {"text after the end", good + "end\t1\r\ndelete-key\t" + Key() + "\r\n",
         "line 4: there is more after"},
        {"not a plan", "Windows Registry Editor Version 5.00\r\n", "line 1: this is not an undo plan"},
        {"a later version", "orvane-undo-plan\t7\r\nend\t0\r\n", "version \"7\""},
        {"empty", "", "the plan is empty"},
        {"not UTF-8", good + "delete-key\tHKCU\\\xC0\xAF\r\nend\t2\r\n", "line 3: the path"},
    };
    for (const auto& plan : plans) {
        ASSERT_TRUE(SetExact(HKEY_CURRENT_USER, SubKey(), L"Stays", left));
        const ProcessResult run = RunText(plan.text);
        ASSERT_TRUE(run.finished) << plan.what;
        EXPECT_EQ(run.exitCode, 1u) << plan.what << "\n" << run.out << run.err;
        EXPECT_NE(run.err.find(plan.says), std::string::npos) << plan.what << "\n" << run.err;
        EXPECT_NE(run.err.find("nothing was changed"), std::string::npos) << plan.what << "\n" << run.err;
        EXPECT_LT(run.err.size(), 2000u) << plan.what << ": the line itself is not echoed";
        EXPECT_EQ(run.out, "") << plan.what;
        ValueData still;
        EXPECT_TRUE(Value("", L"Stays", still))
            << plan.what << ": nothing is done before the plan is checked";
    }
    const ProcessResult missing = undo_tests::RunUndo(dir_ / "no such plan.txt");
    EXPECT_EQ(missing.exitCode, 1u);
    EXPECT_NE(missing.err.find("cannot read the undo plan"), std::string::npos) << missing.err;
}

} // namespace
