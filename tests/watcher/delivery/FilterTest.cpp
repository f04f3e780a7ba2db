// Which records reach the real handler: pattern lists, filter flags and the handler's own hook.
#include "tests/watcher/delivery/DeliveryTestSupport.h"
#include "tests/watcher/delivery/DelayedHandlerTestPeer.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mbctype.h>

namespace {

using delivery_tests::ExpectNoDeliveryPointsLeft;
using delivery_tests::GuardedBuffer;
using test_support::RecordingHandler;

struct WildcardCase {
    const char* name;
    const char* pattern;
    bool matches;
};

TEST(MatchWildcard, Table) {
    const WildcardCase cases[] = {
        {"aXXbYc", "a*b?c", true},
        {"", "*", true},
        {"", "***", true},
        {"", "", true},
        {"", "a", false},
        {"", "?", false},
        {"a.txt", "*.txt", true},
        {"a.txt.bak", "*.txt", false},
        {"a.TXT", "*.txt", false},
        {"abc", "abc", true},
        {"abc", "ab", false},
        {"ab", "abc", false},
        {"x", "?", true},
        {"xy", "?", false},
        {"a.b", "a?b", true},
        {"a\\b\\c", "a*c", true},
        {"C:\\w\\sub\\x", "C:\\w\\*", true},
        {"abcabd", "*abd", true},
        {"mississippi", "*sip*", true},
        {"mississippi", "m*iss*ppi", true},
        {"aaa", "a*a*a", true},
        {"aa", "a*a*a", false},
        {"abc", "*c*", true},
        {"abc", "*d*", false},
        {"a;b", "a;b", true},
        {"a b", "a?b", true},
        {"ab", "a**b", true},
        {"acb", "a*?b", true},
    };
    for (const WildcardCase& c : cases)
        EXPECT_EQ(MatchWildcard(c.name, c.pattern) != FALSE, c.matches) << c.name << " / " << c.pattern;
    EXPECT_FALSE(MatchWildcard(nullptr, "*"));
    EXPECT_FALSE(MatchWildcard("a", nullptr));
}

struct PatternListCase {
    const char* text;
    bool exists;
    std::vector<std::string> items;
};

TEST(FilterPatterns, ListsAreSplitAtSemicolons) {
    const PatternListCase cases[] = {
        {nullptr, false, {}},
        {"", false, {}},
        {";", true, {}},
        {";;;", true, {}},
        {"*.txt", true, {"*.txt"}},
        {";*.txt", true, {"*.txt"}},
        {"*.txt;", true, {"*.txt"}},
        {"*.txt;*.doc", true, {"*.txt", "*.doc"}},
        {";;a;;b c;", true, {"a", "b c"}},
        {" *.txt ", true, {" *.txt "}},
    };
    for (const PatternListCase& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        CDelayedDirectoryChangeHandler wrapper(nullptr, true, c.text, c.text, NF_MATCH_FILE_NAME);
        EXPECT_EQ(DelayedHandlerTestPeer::HasIncludeList(wrapper), c.exists);
        EXPECT_EQ(DelayedHandlerTestPeer::HasExcludeList(wrapper), c.exists);
        EXPECT_EQ(DelayedHandlerTestPeer::IncludeCount(wrapper), c.items.size());
        EXPECT_EQ(DelayedHandlerTestPeer::ExcludeCount(wrapper), c.items.size());
        for (const std::string& item : c.items) {
            EXPECT_TRUE(wrapper.IsIncluded(item.c_str()));
            EXPECT_TRUE(wrapper.IsExcluded(item.c_str()));
        }
    }
    ExpectNoDeliveryPointsLeft();
}

TEST(FilterPatterns, RelativePathOffset) {
    struct Case {
        DWORD flags;
        const char* directory;
        int offset;
    } cases[] = {
        {NF_MATCH_RELATIVE_PATH, "C:\\w", 5}, {NF_MATCH_RELATIVE_PATH, "C:\\w\\", 5},
        {NF_MATCH_RELATIVE_PATH, "", 1},      {NF_MATCH_RELATIVE_PATH | NF_MATCH_FILE_NAME, "C:\\w", 5},
        {NF_MATCH_FILE_NAME, "C:\\w", 0},     {0x02, "C:\\w", 0},
    };
    for (const Case& c : cases) {
        CDelayedDirectoryChangeHandler wrapper(nullptr, true, nullptr, nullptr, c.flags);
        wrapper.SetRelativePathOffset(c.directory);
        EXPECT_EQ(DelayedHandlerTestPeer::RelativePathOffset(wrapper), c.offset)
            << c.flags << " " << c.directory;
    }
    ExpectNoDeliveryPointsLeft();
}

struct FilterCase {
    const char* what;
    DWORD flags;
    const char* include;
    const char* exclude;
    int kind;
    const char* name;
    const char* newName;
    bool hookAnswer;
    bool passes;
    size_t hookCalls;
};

// The directory watched in every case is C:\w.
const FilterCase kFilterCases[] = {
    {"read error passes everything", 0x18, ";", nullptr, kReadDirectoryChangesError, "C:\\w", nullptr, false,
     true, 0},
    {"watch started passes everything", 0x08, ";", nullptr, kWatchStarted, "C:\\w", nullptr, false, true, 0},
    {"watch stopped passes everything", 0x10, ";", ";", kWatchStopped, "C:\\w", nullptr, false, true, 0},
    {"no patterns: the hook decides (yes)", 0x08, nullptr, nullptr, kFileAdded, "C:\\w\\a", nullptr, true,
     true, 1},
    {"no patterns: the hook decides (no)", 0x08, nullptr, nullptr, kFileAdded, "C:\\w\\a", nullptr, false,
     false, 1},
    {"include list, first pattern", 0x08, "*.txt;*.doc", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr, true,
     true, 1},
    {"include list, case matters", 0x08, "*.txt;*.doc", nullptr, kFileRemoved, "C:\\w\\a.TXT", nullptr, true,
     false, 0},
    {"include list, second pattern", 0x08, "*.txt;*.doc", nullptr, kFileModified, "C:\\w\\b.doc", nullptr,
     true, true, 1},
    {"excluded", 0x08, "*.txt", "~*", kFileAdded, "C:\\w\\~a.txt", nullptr, true, false, 0},
    {"not excluded", 0x08, "*.txt", "~*", kFileAdded, "C:\\w\\b.txt", nullptr, true, true, 1},
    {"include of separators only rejects", 0x08, ";", nullptr, kFileAdded, "C:\\w\\a", nullptr, true, false,
     0},
    {"include of separators only rejects renames", 0x08, ";", nullptr, kFileRenamed, "C:\\w\\a", "C:\\w\\b",
     true, false, 0},
    {"exclude of separators only excludes nothing", 0x08, nullptr, ";", kFileAdded, "C:\\w\\a", nullptr, true,
     true, 1},
    {"rename passes through the new name", 0x08, "*.txt", nullptr, kFileRenamed, "C:\\w\\a.tmp",
     "C:\\w\\a.txt", true, true, 1},
    {"rename back passes through the old name", 0x08, "*.txt", nullptr, kFileRenamed, "C:\\w\\a.txt",
     "C:\\w\\a.tmp", true, true, 1},
    {"rename with neither name included", 0x08, "*.txt", nullptr, kFileRenamed, "C:\\w\\a.tmp",
     "C:\\w\\b.tmp", true, false, 0},
    {"rename whose new name is excluded", 0x08, "*", "*.tmp", kFileRenamed, "C:\\w\\a.tmp", "C:\\w\\a.txt",
     true, true, 1},
    {"rename into a shorter folder", 0x08, "*.txt", nullptr, kFileRenamed, "C:\\w\\deep\\folder\\a.tmp",
     "C:\\a.txt", true, true, 1},
    {"rename into a folder with a longer name", 0x08, "x.txt", nullptr, kFileRenamed, "C:\\w\\a.tmp",
     "C:\\w\\other\\x.txt", true, true, 1},
    {"ignored bit: full paths", 0x02, "C:\\w\\*", nullptr, kFileAdded, "C:\\w\\sub\\x", nullptr, true, true,
     1},
    {"ignored bit: full paths do not match a file pattern", 0x02, "x", nullptr, kFileAdded, "C:\\w\\sub\\x",
     nullptr, true, false, 0},
    {"relative path", 0x04, "sub\\a.txt", nullptr, kFileAdded, "C:\\w\\sub\\a.txt", nullptr, true, true, 1},
    {"relative path is not the file name", 0x04, "a.txt", nullptr, kFileAdded, "C:\\w\\sub\\a.txt", nullptr,
     true, false, 0},
    {"file name wins over relative path", 0x0C, "a.txt", nullptr, kFileAdded, "C:\\w\\sub\\a.txt", nullptr,
     true, true, 1},
    {"relative rename outside the folder", 0x04, "*.txt", nullptr, kFileRenamed, "C:\\w\\a.tmp", "C:\\b.txt",
     true, false, 0},
    {"file name without a backslash", 0x08, "a.txt", nullptr, kFileAdded, "a.txt", nullptr, true, true, 1},
    {"hook first, then patterns", 0x18, "*.txt", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr, true, true, 1},
    {"hook first says no", 0x18, "*.txt", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr, false, false, 1},
    {"hook first, patterns say no", 0x18, "*.doc", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr, true, false,
     1},
    {"no hook", 0x28, "*.txt", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr, false, true, 0},
    {"no hook wins over hook first", 0x38, "*.txt", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr, false, true,
     0},
    {"no hook, patterns say no", 0x28, "*.doc", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr, true, false, 0},
    {"no patterns and no hook", 0x21, ";", ";", kFileAdded, "C:\\w\\a", nullptr, false, true, 0},
    {"no patterns: the hook decides", 0x01, ";", nullptr, kFileAdded, "C:\\w\\a", nullptr, false, false, 1},
    {"one item with separators keeps the item", 0x08, ";*.txt", nullptr, kFileAdded, "C:\\w\\a.txt", nullptr,
     true, true, 1},
};

TEST(PassesFilters, Table) {
    for (const FilterCase& c : kFilterCases) {
        SCOPED_TRACE(c.what);
        auto* handler = new RecordingHandler();
        handler->SetHookAnswer(c.hookAnswer);
        auto* wrapper = new CDelayedDirectoryChangeHandler(handler, true, c.include, c.exclude, c.flags);
        wrapper->SetRelativePathOffset("C:\\w");
        CDirChangeNotification record;
        record.owner = wrapper;
        record.kind = c.kind;
        record.name = const_cast<char*>(c.name);
        record.newName = const_cast<char*>(c.newName);
        record.relativePathOffset = DelayedHandlerTestPeer::RelativePathOffset(*wrapper);
        EXPECT_EQ(wrapper->PassesFilters(&record), c.passes);
        const auto hookCalls = handler->HookCalls();
        EXPECT_EQ(hookCalls.size(), c.hookCalls);
        if (!hookCalls.empty()) {
            // The hook always sees the full paths.
            const std::string expected =
                std::to_string(c.kind) + " " + c.name + (c.newName ? std::string(" ") + c.newName : "");
            EXPECT_EQ(hookCalls.front(), expected);
        }
        wrapper->DetachRealHandler();
        wrapper->Release();
        handler->Release();
    }
    ExpectNoDeliveryPointsLeft();
}

// The same decisions on the real delivery path: a rejected record never reaches the handler.
TEST(PassesFilters, RejectedRecordsAreReleasedWithoutACall) {
    auto* handler = new RecordingHandler();
    auto* wrapper = new CDelayedDirectoryChangeHandler(handler, true, "*.txt", "~*", NF_MATCH_FILE_NAME);
    for (const char* name : {"C:\\w\\a.txt", "C:\\w\\a.doc", "C:\\w\\~b.txt", "C:\\w\\c.txt"})
        wrapper->On_FileAdded(name);
    wrapper->On_WatchStopped("C:\\w");
    EXPECT_EQ(handler->Texts(),
              (std::vector<std::string>{"added C:\\w\\a.txt", "added C:\\w\\c.txt", "stopped C:\\w"}));
    const LONG references = wrapper->AddRef();
    EXPECT_EQ(references, 2);
    wrapper->Release();
    wrapper->DetachRealHandler();
    wrapper->Release();
    handler->Release();
    ExpectNoDeliveryPointsLeft();
}

// A new name that ends exactly where an inaccessible page begins: neither offset may lead past it.
TEST(PassesFilters, NewNameInAnotherFolderIsNeverReadPastItsEnd) {
    for (DWORD flags : {DWORD(NF_MATCH_FILE_NAME), DWORD(NF_MATCH_RELATIVE_PATH)}) {
        auto* handler = new RecordingHandler();
        auto* wrapper = new CDelayedDirectoryChangeHandler(handler, true, "*.none", nullptr, flags);
        wrapper->SetRelativePathOffset("C:\\a-long-folder-name\\below");
        const char text[] = "C:\\b";
        GuardedBuffer newName(sizeof text);
        std::memcpy(newName.data(), text, sizeof text);
        CDirChangeNotification record;
        record.owner = wrapper;
        record.kind = kFileRenamed;
        record.name = const_cast<char*>("C:\\a-long-folder-name\\below\\and\\deeper\\x.tmp");
        record.newName = reinterpret_cast<char*>(newName.data());
        record.relativePathOffset = DelayedHandlerTestPeer::RelativePathOffset(*wrapper);
        EXPECT_FALSE(wrapper->PassesFilters(&record));
        EXPECT_LE(CDelayedDirectoryChangeHandler::NewNameMatchStartOffset(&record, flags),
                  int(sizeof text - 1));
        wrapper->DetachRealHandler();
        wrapper->Release();
        handler->Release();
    }
    ExpectNoDeliveryPointsLeft();
}

// In a double-byte code page the trail byte of a character may be 0x5C, the backslash: the file
// name starts after the last real backslash.
TEST(PassesFilters, FileNameOffsetReadsDoubleByteCharactersAsWholes) {
    if (_setmbcp(932) != 0)
        GTEST_SKIP() << "code page 932 is not available";
    CDirChangeNotification record;
    record.kind = kFileAdded;
    record.name = const_cast<char*>("C:\\w\\\x95\x5c");
    EXPECT_EQ(CDelayedDirectoryChangeHandler::MatchStartOffset(&record, NF_MATCH_FILE_NAME), 5);
    EXPECT_FALSE(EndsWithBackslash("C:\\w\\\x95\x5c"));
    EXPECT_TRUE(EndsWithBackslash("C:\\w\\\x95\x5c\\"));
    _setmbcp(_MB_CP_ANSI);
    EXPECT_EQ(CDelayedDirectoryChangeHandler::MatchStartOffset(&record, NF_MATCH_FILE_NAME), 7);
}

} // namespace
