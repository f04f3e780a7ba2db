#include "registry/LogParser.h"

#include "driver/RegmonProtocol.h"

#include "tests/registry/RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using registry_tests::LogLine;
using Fields = std::vector<std::string>;

Fields Split(const std::string& text, const std::string& delimiter = "\t") {
    Fields fields;
    SplitString(text, delimiter, fields);
    return fields;
}

TEST(SplitString, PiecesBetweenDelimiters) {
    const struct {
        const char* text;
        Fields fields;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\tb", {"a", "b"}},
        {"\t", {""}},
        {"\ta", {"", "a"}},
        {"a\t", {"a"}},
        {"a\t\tb", {"a", "", "b"}},
        {"a\t\t", {"a", ""}},
        {"\t\t\t", {"", "", ""}},
        {"p\tSetValue\tHKLM\\x\tSUCCESS\td", {"p", "SetValue", "HKLM\\x", "SUCCESS", "d"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Split(c.text), c.fields) << '"' << c.text << '"';
}

TEST(SplitString, LongerAndEmptyDelimiters) {
    EXPECT_EQ(Split("a::b::", "::"), (Fields{"a", "b"}));
    EXPECT_EQ(Split("a:::b", "::"), (Fields{"a", ":b"}));
    EXPECT_EQ(Split("abc", ""), (Fields{"abc"}));
    EXPECT_EQ(Split("", ""), Fields{});
}

TEST(SplitString, AppendsBehindFieldsAlreadyHeld) {
    Fields fields = {"kept"};
    SplitString("x\ty", "\t", fields);
    EXPECT_EQ(fields, (Fields{"kept", "x", "y"}));
}

// Every text of up to 11 characters from {'a', tab}: the copy-free split gives five fields exactly
// when SplitString does, and the same ones.
TEST(SplitLogFields, AgreesWithSplitStringOnEveryShortText) {
    for (int length = 0; length <= 11; ++length) {
        for (unsigned bits = 0; bits < (1u << length); ++bits) {
            std::string text;
            for (int i = 0; i < length; ++i)
                text += ((bits >> i) & 1) ? '\t' : char('a' + i);
            const Fields expected = Split(text);
            std::string_view fields[5];
            const bool five = SplitLogFields(text, fields);
            ASSERT_EQ(five, expected.size() == 5) << '"' << text << '"';
            for (size_t i = 0; five && i < 5; ++i)
                EXPECT_EQ(std::string(fields[i]), expected[i]);
        }
    }
}

bool Kept(const std::string& line) {
    std::list<_RegLogEntry> entries;
    KeepLogLines({line}, entries);
    return entries.size() == 1;
}

TEST(KeepLogLines, OnlySuccessfulWritesAndDeletionsOfOrdinaryProcesses) {
    const std::string path = "HKLM\\Software\\Vendor\\Value";
    const struct {
        std::string line;
        bool kept;
    } cases[] = {
        {LogLine("setup.exe", "SetValue", path), true},
        {LogLine("setup.exe", "DeleteKey", "HKLM\\Software\\Vendor"), true},
        {LogLine("setup.exe", "SetValueKey", path), true}, // prefix test on the operation
        {LogLine("setup.exe", "DeleteKeyEx", path), true}, // likewise
        {LogLine("setup.exe", "CreateKey", path), false},
        {LogLine("setup.exe", "DeleteValue", path), false},
        {LogLine("setup.exe", "QueryValue", path), false},
        // The driver's marker for lines a full log lost.
        {REGMON_LOST_MARKER_PREFIX "12" REGMON_LOST_MARKER_SUFFIX, false},
        {REGMON_LOST_MARKER_PREFIX "4294967295" REGMON_LOST_MARKER_SUFFIX, false},
        {LogLine("setup.exe", "setvalue", path), false},
        {LogLine("setup.exe", "SetValue", path, "ACCESS DENIED"), false},
        {LogLine("setup.exe", "SetValue", path, "SUCCESS "), false},
        {LogLine("setup.exe", "SetValue", path, "success"), false},
        {LogLine("System", "SetValue", path), false},
        {LogLine("svchost.exe", "SetValue", path), false},
        {LogLine("rundll32.exe", "SetValue", path), false},
        {LogLine("explorer.exe", "SetValue", path), false},
        {LogLine("IEXPLORE.EXE", "SetValue", path), false},
        {LogLine("csrss.exe", "SetValue", path), false},
        {LogLine("winlogon.exe", "SetValue", path), false},
        {LogLine("Explorer.exe", "SetValue", path), true}, // names compare with letter case
        {LogLine("explorer.exe ", "SetValue", path), true},
        {LogLine("system", "SetValue", path), true},
        {LogLine("IRP_MJ_WRITE", "SetValue", path), false},
        {LogLine("FASTIO_READ", "SetValue", path), false},
        {LogLine("x IRP_MJ_", "SetValue", path), true}, // a prefix, not a fragment
        {LogLine("C:\\pagefile.sys", "SetValue", path), false},
        {LogLine("$Mft", "SetValue", path), false},
        {LogLine("D:\\$MftMirr", "SetValue", path), false},
        {LogLine("x$LogFilex", "SetValue", path), false},
        {LogLine("$Volume", "SetValue", path), false},
        {LogLine("$AttrDef", "SetValue", path), false},
        {LogLine("$Root", "SetValue", path), false},
        {LogLine("$Bitmap", "SetValue", path), false},
        {LogLine("$Boot", "SetValue", path), false},
        {LogLine("$BadClus", "SetValue", path), false},
        {LogLine("$Secure", "SetValue", path), false},
        {LogLine("$UpCase", "SetValue", path), false},
        {LogLine("$Extend", "SetValue", path), false},
        {LogLine("setup.exe", "SetValue", "C:\\pagefile.sys"), true}, // fragments look at the process only
        {LogLine("setup.exe", "SetValue", "HKCU\\CLSID\\{x}\\v"), false},
        {LogLine("setup.exe", "SetValue", "HKCU\\CLSIDX\\v"), false}, // plain character prefix
        {LogLine("setup.exe", "SetValue", "HKCR\\CLSID\\{x}\\v"), true},
        {LogLine("setup.exe", "SetValue", "HKCU\\clsid\\{x}\\v"), true},
        // Field counts and empty fields.
        {"", false},
        {"setup.exe\tSetValue\t" + path + "\tSUCCESS", false},
        {LogLine("setup.exe", "SetValue", path) + "\t", true},          // an empty last piece is not a field
        {LogLine("setup.exe", "SetValue", path, "SUCCESS", ""), false}, // so an empty detail leaves four
        {LogLine("setup.exe", "SetValue", path, "SUCCESS", "a\tb"), false},
        {LogLine("setup.exe", "SetValue", path, "SUCCESS", "") + "\t", true}, // five pieces, the last empty
        {LogLine("", "SetValue", path), true},
        {LogLine("setup.exe", "SetValue", ""), true},
        {LogLine("setup.exe", "", path), false},
        {LogLine("setup.exe", "SetValue", path, ""), false},
        {"\t\t\t\t\t", false},
        // Bytes outside ASCII travel unchanged.
        {LogLine("s\xE9tup.exe", "SetValue", "HKLM\\Software\\\xC4\xD6\\\xFF"), true},
        {LogLine("setup.exe", "SetValue", std::string(4070, 'k')), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Kept(c.line), c.kept) << c.line;
}

// The capture in a setup's processes names each process with its id ("rundll32.exe:1234"): the
// tree's own rundll32 or svchost is kept, while the same image in a line of the whole system's log,
// named alone, is still left out.
TEST(KeepLogLines, ProcessesNamedWithTheirIdAreNotExcluded) {
    const std::string path = "HKCU\\Software\\Vendor\\Value";
    for (const char* image : {"rundll32.exe", "svchost.exe", "explorer.exe", "System"}) {
        EXPECT_TRUE(Kept(LogLine(std::string(image) + ":1234", "SetValue", path))) << image;
        EXPECT_TRUE(Kept(LogLine(std::string(image) + ":4294967295", "DeleteKey", "HKCU\\Software\\Vendor")))
            << image;
        EXPECT_FALSE(Kept(LogLine(image, "SetValue", path))) << image;
    }
    // The other rules hold for the capture's lines as for any.
    EXPECT_FALSE(Kept(LogLine("rundll32.exe:1234", "SetValue", "HKCU\\CLSID\\{x}\\v")));
    EXPECT_FALSE(Kept(LogLine("rundll32.exe:1234", "SetValue", path, "0xC0000022")));
}

TEST(KeepLogLines, KeepsFieldsInLineOrderAndAppends) {
    std::list<_RegLogEntry> entries(1);
    KeepLogLines({LogLine("a.exe", "SetValue", "HKLM\\1", "SUCCESS", "d1"),
                  LogLine("explorer.exe", "SetValue", "x"),
                  LogLine("b.exe", "DeleteKey", "HKLM\\2", "SUCCESS", "d2")},
                 entries);
    ASSERT_EQ(entries.size(), 3u);
    const _RegLogEntry& first = *std::next(entries.begin());
    const _RegLogEntry& second = entries.back();
    EXPECT_EQ(first.process, "a.exe");
    EXPECT_EQ(first.operation, "SetValue");
    EXPECT_EQ(first.path, "HKLM\\1");
    EXPECT_EQ(first.result, "SUCCESS");
    EXPECT_EQ(first.detail, "d1");
    EXPECT_EQ(second.process, "b.exe");
    EXPECT_EQ(second.operation, "DeleteKey");
}

_RegLogEntry Entry(const std::string& operation, const std::string& path) {
    return _RegLogEntry{"setup.exe", operation, path, "SUCCESS", "d"};
}

std::vector<std::string> Operations(const std::list<_RegLogEntry>& entries) {
    std::vector<std::string> operations;
    for (const _RegLogEntry& entry : entries)
        operations.push_back(entry.operation);
    return operations;
}

// Each deletion against every entry before it, as the log's semantics are defined: a write below
// the deleted key (its path and a backslash) logged before the deletion is cancelled.
void CancelLiterally(std::list<_RegLogEntry>& entries) {
    const std::vector<_RegLogEntry> original(entries.begin(), entries.end());
    size_t d = 0;
    for (const _RegLogEntry& deleted : original) {
        ++d;
        if (deleted.operation != "DeleteKey")
            continue;
        size_t i = 0;
        for (_RegLogEntry& entry : entries) {
            if (++i >= d)
                break;
            if (original[i - 1].operation == "DeleteKey")
                continue;
            if (deleted.path.empty() ||
                entry.path.compare(0, deleted.path.size() + 1, deleted.path + "\\") == 0)
                entry.operation = "DeleteKey";
        }
    }
}

TEST(CancelDeletedKeys, DeletionCancelsOnlyTheWritesBelowItLoggedBeforeIt) {
    std::list<_RegLogEntry> entries = {
        Entry("SetValue", "HKLM\\Software\\A\\v"),   Entry("SetValue", "HKLM\\Software\\AB\\v"),
        Entry("SetValue", "HKLM\\Software\\A"),      Entry("SetValue", "HKLM\\Software\\A\\"),
        Entry("DeleteKey", "HKLM\\Software\\A"),     Entry("SetValue", "HKLM\\Software\\A\\w"),
        Entry("SetValue", "HKLM\\Software\\B\\v"),   Entry("SetValue", "HKLM\\Software\\a\\v"),
        Entry("SetValue", "HKLM\\Software"),         Entry("DeleteKeyEx", "HKLM\\Software\\B"),
        Entry("SetValueEx", "HKLM\\Software\\A\\x"), Entry("DeleteKey", "HKLM\\Software\\A\\Deep"),
    };
    CancelDeletedKeys(entries);
    // Cancelled: A\v and A's default value (below A, before its deletion). Kept: the sibling AB, the
    // value named A of Software, the writes after the deletion, another letter case, and what lies
    // below a key whose deletion is only "DeleteKeyEx".
    EXPECT_EQ(Operations(entries),
              (std::vector<std::string>{"DeleteKey", "SetValue", "SetValue", "DeleteKey", "DeleteKey",
                                        "SetValue", "SetValue", "SetValue", "SetValue", "DeleteKeyEx",
                                        "SetValueEx", "DeleteKey"}));
}

TEST(CancelDeletedKeys, EmptyDeletedPathCancelsEverythingBeforeIt) {
    std::list<_RegLogEntry> entries = {Entry("SetValue", "HKLM\\x"), Entry("SetValueKey", ""),
                                       Entry("DeleteKey", ""), Entry("SetValue", "HKCU\\y")};
    CancelDeletedKeys(entries);
    EXPECT_EQ(Operations(entries),
              (std::vector<std::string>{"DeleteKey", "DeleteKey", "DeleteKey", "SetValue"}));
}

TEST(CancelDeletedKeys, NoDeletionChangesNothing) {
    std::list<_RegLogEntry> entries = {Entry("SetValue", "HKLM\\x"), Entry("DeleteKeyEx", "HKLM")};
    CancelDeletedKeys(entries);
    EXPECT_EQ(Operations(entries), (std::vector<std::string>{"SetValue", "DeleteKeyEx"}));
    std::list<_RegLogEntry> none;
    CancelDeletedKeys(none);
    EXPECT_TRUE(none.empty());
}

// Random logs over a small alphabet, so that prefixes, nested deletions, duplicates and bytes
// above 0x7F all occur often: the walk from the end marks exactly what the literal loops mark.
TEST(CancelDeletedKeys, AgreesWithTheLiteralLoopsOnRandomLogs) {
    std::mt19937 random(4711);
    const char alphabet[] = {'A', 'B', '\\', 'a', '\xE9'};
    const char* operations[] = {"SetValue", "SetValue", "SetValue", "DeleteKey", "DeleteKeyEx", "SetValueEx"};
    for (int round = 0; round < 500; ++round) {
        std::list<_RegLogEntry> entries;
        const int count = random() % 40;
        for (int i = 0; i < count; ++i) {
            std::string path;
            for (int length = random() % 7; length > 0; --length)
                path += alphabet[random() % sizeof alphabet];
            entries.push_back(Entry(operations[random() % 6], path));
        }
        std::list<_RegLogEntry> expected = entries;
        CancelLiterally(expected);
        CancelDeletedKeys(entries);
        ASSERT_EQ(Operations(entries), Operations(expected)) << "round " << round;
    }
}

} // namespace
