// The registry recorder where the ANSI code page is 932 (Shift JIS), run in a Wine prefix of its own
// in a Japanese locale. Two keys whose names differ only in a trail byte that looks like a letter,
// <83 41> and <83 61>, are different keys there; a trail byte 0x5C is no backslash.
#include "registry/LogParser.h"
#include "registry/RegistryMonitor.h"
#include "stand-ins/brannock/IMendwellInc.h"

#include "tests/registry/RegistryMonitorTestPeer.h"
#include "tests/registry/RegistryTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <mbctype.h>
#include <mbstring.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

namespace {

using IConfInfoInc::_ConfInfo;
using registry_tests::DecodeBase64;
using registry_tests::LogLine;
using registry_tests::RegmonDevice;
using registry_tests::TestKey;
using test_support::PumpMessagesUntil;

const std::string kKatakanaA = "\x83\x41";  // U+30A2
const std::string kKatakanaDi = "\x83\x61"; // U+30C2, the same bytes as kKatakanaA with 'a' for 'A'
const std::string kKatakanaSo = "\x83\x5C"; // U+30BD, whose trail byte is a backslash

std::string Sz(const std::string& text) {
    return std::string(text.c_str(), text.size() + 1);
}

// Every test here means something only in code page 932, so a run in any other fails.
void ExpectCodePage932() {
    ASSERT_EQ(::GetACP(), 932u) << "the ANSI code page must be 932: the run needs the ja_JP.UTF-8 locale "
                                   "(scripts/setup-machine.sh generates it)";
}

// path -> data bytes
std::map<std::string, std::string> Recorded(const std::set<_ConfInfo>& changes) {
    std::map<std::string, std::string> recorded;
    for (const _ConfInfo& record : changes)
        recorded[record.path] = DecodeBase64(record.data);
    return recorded;
}

TEST(CodePage932, TheRunIsInCodePage932) {
    ExpectCodePage932();
    EXPECT_TRUE(::IsDBCSLeadByteEx(CP_ACP, 0x83));
}

// What the tests below rely on: the registry itself keeps the two keys apart.
TEST(CodePage932, KeysDifferingInATrailByteAreDifferentKeys) {
    ExpectCodePage932();
    TestKey key("cp932-keys");
    key.Set(kKatakanaA, "v", REG_SZ, Sz("first"));
    key.Set(kKatakanaDi, "v", REG_SZ, Sz("second"));
    _ConfInfo first, second;
    ASSERT_TRUE(ReadValueRecord(key.LogPath(kKatakanaA + "\\v"), first));
    ASSERT_TRUE(ReadValueRecord(key.LogPath(kKatakanaDi + "\\v"), second));
    EXPECT_EQ(DecodeBase64(first.data), Sz("first"));
    EXPECT_EQ(DecodeBase64(second.data), Sz("second"));
}

TEST(CodePage932, ReadBackOpensEachKeyByItsOwnName) {
    ExpectCodePage932();
    TestKey key("cp932-readback");
    key.Set(kKatakanaA, "v", REG_SZ, Sz("first"));
    key.Set(kKatakanaDi, "v", REG_SZ, Sz("second"));
    // Mixed ASCII case in the same key still reads from it.
    key.Set("Sub", "w", REG_SZ, Sz("third"));
    std::list<_RegLogEntry> entries;
    for (const std::string& below :
         {kKatakanaA + "\\v", kKatakanaDi + "\\v", std::string("Sub\\w"), std::string("SUB\\w")})
        entries.push_back(_RegLogEntry{"setup.exe", "SetValue", key.LogPath(below), "SUCCESS", "d"});
    std::set<_ConfInfo> changes;
    ReadBackValues(entries, changes);
    const auto recorded = Recorded(changes);
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(recorded.at(key.LogPath(kKatakanaA + "\\v")), Sz("first"));
    EXPECT_EQ(recorded.at(key.LogPath(kKatakanaDi + "\\v")), Sz("second"));
    EXPECT_EQ(recorded.count(key.LogPath("Sub\\w")), 1u); // the same value as "SUB\w": one record
}

_ConfInfo Record(const std::string& path) {
    _ConfInfo record;
    record.kind = "register";
    record.path = path;
    return record;
}

bool Equivalent(const _ConfInfo& a, const _ConfInfo& b) {
    return !(a < b) && !(b < a);
}

TEST(CodePage932, OrderingKeepsTrailBytesApartAndStaysConsistent) {
    ExpectCodePage932();
    const std::vector<std::string> paths = {
        "HKCU\\Software\\" + kKatakanaA,
        "HKCU\\Software\\" + kKatakanaDi,
        "hkcu\\software\\" + kKatakanaA, // ASCII letters fold: the same as the first
        "HKCU\\Software\\" + kKatakanaSo,
        "HKCU\\Software\\" + kKatakanaSo + "x",
        "HKCU\\Software\\\\x",
        "HKCU\\Software\\a",
        "HKCU\\Software\\A\x83",        // a lead byte at the end stands alone
        "HKCU\\Software\\\xB1",         // a single-byte katakana sorts below two-byte characters
        "HKCU\\Software\\\x83\x41\x83", // a longer name after its prefix
    };
    std::vector<_ConfInfo> records;
    for (const std::string& path : paths)
        records.push_back(Record(path));
    EXPECT_FALSE(Equivalent(records[0], records[1]));
    EXPECT_TRUE(Equivalent(records[0], records[2]));
    EXPECT_TRUE(records[8] < records[0]);
    EXPECT_TRUE(records[0] < records[9]);
    // A strict weak order: irreflexive, asymmetric, transitive, with transitive equivalence.
    for (const _ConfInfo& a : records) {
        EXPECT_FALSE(a < a) << a.path;
        for (const _ConfInfo& b : records) {
            EXPECT_FALSE(a < b && b < a) << a.path << " / " << b.path;
            for (const _ConfInfo& c : records) {
                if (a < b && b < c) {
                    EXPECT_TRUE(a < c) << a.path << " / " << b.path << " / " << c.path;
                }
                if (Equivalent(a, b) && Equivalent(b, c)) {
                    EXPECT_TRUE(Equivalent(a, c)) << a.path << " / " << b.path << " / " << c.path;
                }
            }
        }
    }
    const std::set<_ConfInfo> set(records.begin(), records.end());
    EXPECT_EQ(set.size(), paths.size() - 1);
}

int Sign(int value) {
    return (value > 0) - (value < 0);
}

// The C runtime's multibyte compare follows the ANSI code page here (its multibyte code page is set
// from it at start-up), and the record order agrees with it on every pair.
TEST(CodePage932, OrderingAgreesWithTheRuntimesMultibyteCompare) {
    ExpectCodePage932();
    ASSERT_EQ(_getmbcp(), 932);
    const std::vector<std::string> paths = {
        "Software\\" + kKatakanaA,
        "Software\\" + kKatakanaDi,
        "SOFTWARE\\" + kKatakanaA,
        "Software\\" + kKatakanaSo,
        "Software\\" + kKatakanaSo + "x",
        "Software\\a",
        "Software\\B",
        "Software\\\xB1",
        "Software\\" + kKatakanaA + "z",
        "Software\\A\x83",
    };
    for (const std::string& left : paths) {
        for (const std::string& right : paths) {
            const int expected = Sign(_mbsicmp(reinterpret_cast<const unsigned char*>(left.c_str()),
                                               reinterpret_cast<const unsigned char*>(right.c_str())));
            const int actual = Record(left) < Record(right) ? -1 : (Record(right) < Record(left) ? 1 : 0);
            EXPECT_EQ(actual, expected) << left << " / " << right;
        }
    }
}

// The split is live: it opens keys to find the boundary. Where no key holds the value, it falls back
// to the last separator, which a trail byte 0x5C must not be. (A decoy key named by the lead byte
// alone makes no decoy: such a name does not survive the conversion to the registry.)
TEST(CodePage932, SplitIgnoresATrailByteBackslash) {
    ExpectCodePage932();
    TestKey key("cp932-split");
    key.Set("K", kKatakanaSo + "x", REG_SZ, Sz("real"));
    key.Set(kKatakanaSo, "v", REG_SZ, Sz("key"));
    const struct {
        std::string below, subKey, valueName;
    } cases[] = {
        {"K\\" + kKatakanaSo + "x", "K", kKatakanaSo + "x"},
        {kKatakanaSo + "\\v", kKatakanaSo, "v"},
        {"K\\" + kKatakanaSo + "gone", "K", kKatakanaSo + "gone"},     // nothing confirmed
        {"Gone\\" + kKatakanaSo + "\\v", "Gone\\" + kKatakanaSo, "v"}, // nothing confirmed
    };
    for (const auto& c : cases) {
        std::string subKey, valueName;
        EXPECT_EQ(IMendwellInc::SplitKey(key.LogPath(c.below), subKey, valueName), HKEY_CURRENT_USER);
        EXPECT_EQ(subKey, key.subKey() + "\\" + c.subKey) << c.below;
        EXPECT_EQ(valueName, c.valueName) << c.below;
    }
}

// The full path: the setup side writes and announces, the driver logs, the monitor pulls, parses,
// reads back and orders.
class CodePage932Monitor : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        ExpectCodePage932();
        ASSERT_TRUE(monitor.HasDriver()) << "the driver did not open: error " << monitor.DriverFailure();
        ASSERT_TRUE(device.valid());
    }

    static std::unique_ptr<TestKey> MakeKey(bool machine) {
        return machine ? std::make_unique<TestKey>("cp932-monitor", HKEY_LOCAL_MACHINE, "HKLM")
                       : std::make_unique<TestKey>("cp932-monitor");
    }

    void SetAndLog(const std::string& child, const std::string& name, const std::string& text) {
        key->Set(child, name, REG_SZ, Sz(text));
        const std::string below = child.empty() ? name : child + "\\" + name;
        ASSERT_TRUE(device.Append(LogLine("setup.exe", "SetValue", key->LogPath(below))));
    }

    std::unique_ptr<TestKey> key{MakeKey(GetParam())};
    CRegistryMonitor monitor;
    RegmonDevice device;
};

TEST_P(CodePage932Monitor, EachKeyKeepsItsOwnRecordAndData) {
    monitor.Start(0, "");
    SetAndLog(kKatakanaA, "v", "first");
    SetAndLog(kKatakanaDi, "v", "second");
    SetAndLog(kKatakanaSo, "v", "third");
    SetAndLog("K", kKatakanaSo + "x", "real");
    ASSERT_TRUE(PumpMessagesUntil([&] { return RegistryMonitorTestPeer::RawLines(monitor).size() >= 4; }))
        << RegistryMonitorTestPeer::RawLines(monitor).size() << " of 4 lines pulled";
    monitor.Stop();
    const auto recorded = Recorded(monitor.GetChanges());
    EXPECT_EQ(recorded.size(), 4u);
    const std::map<std::string, std::string> expected = {
        {key->LogPath(kKatakanaA + "\\v"), Sz("first")},
        {key->LogPath(kKatakanaDi + "\\v"), Sz("second")},
        {key->LogPath(kKatakanaSo + "\\v"), Sz("third")},
        {key->LogPath("K\\" + kKatakanaSo + "x"), Sz("real")},
    };
    for (const auto& [path, data] : expected) {
        const auto found = recorded.find(path);
        ASSERT_NE(found, recorded.end()) << path;
        EXPECT_EQ(found->second, data) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Roots, CodePage932Monitor, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("HKLM") : std::string("HKCU");
                         });

} // namespace
