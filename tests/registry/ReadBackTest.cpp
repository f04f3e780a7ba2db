#include "registry/LogParser.h"

#include "registry/FoldedKeyName.h"

#include "tests/registry/RegistryTestSupport.h"

#include <gtest/gtest.h>

namespace {

using IConfInfoInc::_ConfInfo;
using registry_tests::DecodeBase64;
using registry_tests::TestKey;

_RegLogEntry Write(const std::string& path) {
    return _RegLogEntry{"setup.exe", "SetValue", path, "SUCCESS", "d"};
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values)
        bytes += char(v);
    return bytes;
}

TEST(ReadValueRecord, EveryTypeComesBackAsItsBytesInBase64) {
    TestKey key("readback");
    const std::string big(1024 * 1024, '\0');
    std::string pattern = big;
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = char(i * 7 + i / 256);
    const struct {
        const char* name;
        DWORD type;
        std::string data;
    } cases[] = {
        {"sz", REG_SZ, std::string("hello\0", 6)},
        {"expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15)},
        {"multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
        {"dword", REG_DWORD, Bytes({7, 0, 0, 1})},
        {"qword", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {"binary", REG_BINARY, Bytes({0, 0xFF, 0x80, 0x7F, 0x0A})},
        {"empty", REG_BINARY, ""},
        {"emptysz", REG_NONE, ""},
        {"megabyte", REG_BINARY, pattern},
        {"odd type", 0x12345, "xyz"},
        {"", REG_SZ, std::string("default\0", 8)},
        {"na\xEFve", REG_SZ, std::string("caf\xE9\0", 5)},
    };
    for (const auto& c : cases) {
        key.Set("", c.name, c.type, c.data);
        _ConfInfo record;
        record.extra = 9;
        ASSERT_TRUE(ReadValueRecord(key.LogPath(c.name), record)) << c.name;
        EXPECT_EQ(record.kind, "register");
        EXPECT_EQ(record.path, key.LogPath(c.name));
        EXPECT_EQ(record.valueType, c.type) << c.name;
        EXPECT_EQ(DecodeBase64(record.data), c.data) << c.name;
        EXPECT_EQ(record.extra, 1);
        EXPECT_TRUE(record.flag);
    }
}

TEST(ReadValueRecord, UnreadableValuesGiveNoRecord) {
    TestKey key("unreadable");
    key.Set("locked", "v", REG_SZ, std::string("x\0", 2));
    key.MakeReadOnly("locked");
    key.SetString("gone", "soon");
    key.DeleteValue("", "gone");
    const std::string paths[] = {
        key.LogPath("missing"),
        key.LogPath("gone"),
        key.LogPath("nokey\\v"),
        key.LogPath("locked\\v"), // readable, but not with full access
        "HKCU",
        "HKXX\\Software\\v",
        "Software\\v",
        "",
    };
    for (const std::string& path : paths) {
        _ConfInfo record;
        record.path = "untouched";
        EXPECT_FALSE(ReadValueRecord(path, record)) << path;
        EXPECT_EQ(record.path, "untouched");
    }
}

TEST(ReadValueRecord, ValueNamesMayHoldBackslashes) {
    TestKey key("backslash");
    key.Set("SharedDLLs", "C:\\App\\x.dll", REG_DWORD, Bytes({3, 0, 0, 0}));
    key.Set("Installer", "Folders\\Sub", REG_SZ, std::string("y\0", 2));
    key.Set("Installer\\Folders", "Sub", REG_SZ, std::string("deeper\0", 7));
    key.Set("", "top\\v", REG_SZ, std::string("t\0", 2));
    const struct {
        std::string below;
        std::string data;
    } cases[] = {
        {"SharedDLLs\\C:\\App\\x.dll", Bytes({3, 0, 0, 0})},
        // The key "Installer\Folders" exists too: the longer key wins.
        {"Installer\\Folders\\Sub", std::string("deeper\0", 7)},
        {"top\\v", std::string("t\0", 2)},
    };
    for (const auto& c : cases) {
        _ConfInfo record;
        ASSERT_TRUE(ReadValueRecord(key.LogPath(c.below), record)) << c.below;
        EXPECT_EQ(record.path, key.LogPath(c.below));
        EXPECT_EQ(DecodeBase64(record.data), c.data) << c.below;
    }
    _ConfInfo record;
    EXPECT_FALSE(ReadValueRecord(key.LogPath("SharedDLLs\\C:\\App\\y.dll"), record));
}

TEST(ReadValueRecord, MachineValuesAndLockedMachineKeys) {
    TestKey key("machine", HKEY_LOCAL_MACHINE, "HKLM");
    key.Set("Vendor", "v", REG_DWORD, Bytes({1, 2, 3, 4}));
    key.Set("SharedDLLs", "C:\\App\\x.dll", REG_DWORD, Bytes({1, 0, 0, 0}));
    key.Set("locked", "v", REG_SZ, std::string("x\0", 2));
    key.MakeReadOnly("locked");
    for (const char* below : {"Vendor\\v", "SharedDLLs\\C:\\App\\x.dll"}) {
        _ConfInfo record;
        ASSERT_TRUE(ReadValueRecord(key.LogPath(below), record)) << below;
        EXPECT_EQ(record.path, key.LogPath(below));
        EXPECT_EQ(record.valueType, DWORD(REG_DWORD));
    }
    const std::string longName = "HKEY_LOCAL_MACHINE\\" + key.subKey() + "\\Vendor\\v";
    _ConfInfo record;
    EXPECT_TRUE(ReadValueRecord(longName, record));
    EXPECT_EQ(DecodeBase64(record.data), Bytes({1, 2, 3, 4}));
    std::set<_ConfInfo> changes;
    ReadBackValues({Write(key.LogPath("locked\\v")), Write(key.LogPath("Vendor\\v"))}, changes);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes.begin()->path, key.LogPath("Vendor\\v"));
}

TEST(ReadBackValues, OnlyExactSuccessfulWritesEachValueOnce) {
    TestKey key("passthree");
    key.SetString("a", "first");
    key.SetString("b", "second");
    key.SetString("c", "third");
    std::list<_RegLogEntry> entries = {
        Write(key.LogPath("a")),
        Write(key.LogPath("a")),
        _RegLogEntry{"setup.exe", "SetValueEx", key.LogPath("b"), "SUCCESS", "d"},
        _RegLogEntry{"setup.exe", "DeleteKey", key.LogPath("c"), "SUCCESS", "d"},
        _RegLogEntry{"setup.exe", "SetValue", key.LogPath("c"), "FAILED", "d"},
        Write(key.LogPath("missing")),
        Write(key.LogPath("A")), // the same value in other letters: the first record stays
    };
    std::set<_ConfInfo> changes;
    ReadBackValues(entries, changes);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes.begin()->path, key.LogPath("a"));
    EXPECT_EQ(DecodeBase64(changes.begin()->data), std::string("first\0", 6));
}

bool NoLeadBytes(unsigned char) {
    return false;
}

bool ShiftJisLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

TEST(FoldedKeyName, FoldsSingleByteAsciiLettersAndNoTrailByte) {
    using registry_names::FoldedKeyName;
    EXPECT_EQ(FoldedKeyName("Software\\Vendor ABZ@[", NoLeadBytes), "software\\vendor abz@[");
    EXPECT_EQ(FoldedKeyName("\xC9t\xE9", NoLeadBytes), "\xC9t\xE9");
    EXPECT_EQ(FoldedKeyName("", ShiftJisLeadByte), "");
    EXPECT_EQ(FoldedKeyName("K\\\x83\x41", NoLeadBytes), "k\\\x83\x61");
    EXPECT_EQ(FoldedKeyName("K\\\x83\x41", ShiftJisLeadByte), "k\\\x83\x41");
    EXPECT_EQ(FoldedKeyName("\x83\x41"
                            "A\x83\x5C\\B",
                            ShiftJisLeadByte),
              "\x83\x41"
              "a\x83\x5C\\b");
    EXPECT_EQ(FoldedKeyName("A\x83", ShiftJisLeadByte), "a\x83"); // a lead byte at the end stands alone
    EXPECT_EQ(FoldedKeyName("\x83\x83"
                            "A",
                            ShiftJisLeadByte),
              "\x83\x83"
              "a");
}

TEST(ReadBackValues, AddsToWhatTheSetHolds) {
    TestKey key("adds");
    key.SetString("v", "now");
    std::set<_ConfInfo> changes;
    _ConfInfo earlier;
    earlier.kind = "register";
    earlier.path = key.LogPath("v");
    earlier.data = "earlier";
    changes.insert(earlier);
    _ConfInfo other = earlier;
    other.path = "HKLM\\other";
    changes.insert(other);
    ReadBackValues({Write(key.LogPath("v"))}, changes);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes.find(earlier)->data, "earlier");
}

} // namespace
