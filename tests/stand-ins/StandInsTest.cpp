#include "stand-ins/brannock/IMendwellInc.h"
#include "stand-ins/brannock/ValueBoundary.h"
#include "stand-ins/kelmira/AnsiPathOrder.h"
#include "stand-ins/tavish/ITavishInc.h"

#include "host/track/result/Base64.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

TEST(SplitKey, RootsSubKeysAndValueNames) {
    const struct {
        const char* path;
        HKEY root;
        const char* subKey;
        const char* valueName;
    } cases[] = {
        {"HKLM\\Software\\Vendor\\Value", HKEY_LOCAL_MACHINE, "Software\\Vendor", "Value"},
        {"HKCU\\Software\\V", HKEY_CURRENT_USER, "Software", "V"},
        {"HKCR\\.txt\\Content Type", HKEY_CLASSES_ROOT, ".txt", "Content Type"},
        {"HKEY_USERS\\.DEFAULT\\Env\\Path", HKEY_USERS, ".DEFAULT\\Env", "Path"},
        {"HKEY_CURRENT_CONFIG\\System\\x", HKEY_CURRENT_CONFIG, "System", "x"},
        {"HKEY_LOCAL_MACHINE\\Software\\v", HKEY_LOCAL_MACHINE, "Software", "v"},
        {"HKEY_CURRENT_USER\\Software\\v", HKEY_CURRENT_USER, "Software", "v"},
        {"HKEY_CLASSES_ROOT\\CLSID\\{1}\\v", HKEY_CLASSES_ROOT, "CLSID\\{1}", "v"},
        {"hklm\\Software\\v", HKEY_LOCAL_MACHINE, "Software", "v"},
        {"HKLM\\Value", HKEY_LOCAL_MACHINE, "", "Value"},                   // right below the root
        {"HKLM\\Software\\Key\\", HKEY_LOCAL_MACHINE, "Software\\Key", ""}, // the default value
        {"HKLM\\", HKEY_LOCAL_MACHINE, "", ""},
        {"HKLM\\a\\\\b", HKEY_LOCAL_MACHINE, "a\\", "b"},
        {"HKLM\\Software\\\xE9\\\xFF", HKEY_LOCAL_MACHINE, "Software\\\xE9", "\xFF"},
        // Unknown roots and paths with no value part.
        {"HKLM", nullptr, "", ""},
        {"HKCU", nullptr, "", ""},
        {"HKLMX\\Software\\v", nullptr, "", ""},
        {"HKU\\S-1-5\\v", nullptr, "", ""},
        {"HKEY_PERFORMANCE_DATA\\x\\y", nullptr, "", ""},
        {"Software\\Vendor\\Value", nullptr, "", ""},
        {"\\HKLM\\Software\\v", nullptr, "", ""},
        {"", nullptr, "", ""},
        {"C:\\Windows\\win.ini", nullptr, "", ""},
    };
    for (const auto& c : cases) {
        std::string subKey = "stale", valueName = "stale";
        EXPECT_EQ(IMendwellInc::SplitKey(c.path, subKey, valueName), c.root) << c.path;
        EXPECT_EQ(subKey, c.subKey) << c.path;
        EXPECT_EQ(valueName, c.valueName) << c.path;
    }
}

bool NoLeadBytes(unsigned char) {
    return false;
}

// Lead bytes as in code page 932.
bool ShiftJisLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

TEST(ValueBoundary, SeparatorsSkipTrailBytes) {
    using brannock::NameSeparators;
    EXPECT_EQ(NameSeparators("a\\b\\c", NoLeadBytes), (std::vector<size_t>{1, 3}));
    EXPECT_EQ(NameSeparators("", NoLeadBytes), std::vector<size_t>{});
    EXPECT_EQ(NameSeparators("\\\\", NoLeadBytes), (std::vector<size_t>{0, 1}));
    // 0x95 0x5C is one character whose second byte looks like a backslash.
    EXPECT_EQ(NameSeparators("k\\\x95\\v", ShiftJisLeadByte), (std::vector<size_t>{1}));
    EXPECT_EQ(NameSeparators("k\\\x95\\v", NoLeadBytes), (std::vector<size_t>{1, 3}));
    EXPECT_EQ(NameSeparators("\x83\\\x83", ShiftJisLeadByte), std::vector<size_t>{});
    EXPECT_EQ(NameSeparators("\x83", ShiftJisLeadByte), std::vector<size_t>{});
}

struct Split {
    std::string subKey, valueName;
    bool operator==(const Split& other) const {
        return subKey == other.subKey && valueName == other.valueName;
    }
};

Split SplitWith(const std::string& below, const std::vector<Split>& present,
                brannock::LeadByteTest isLead = NoLeadBytes) {
    Split split{"stale", "stale"};
    brannock::SplitAtValue(
        below, isLead,
        [&](const std::string& sub, const std::string& value) {
            for (const Split& p : present)
                if (p.subKey == sub && p.valueName == value)
                    return true;
            return false;
        },
        split.subKey, split.valueName);
    return split;
}

TEST(ValueBoundary, LongestKeyHoldingTheValue) {
    EXPECT_EQ(SplitWith("Shared\\C:\\App\\x.dll", {{"Shared", "C:\\App\\x.dll"}}),
              (Split{"Shared", "C:\\App\\x.dll"}));
    EXPECT_EQ(SplitWith("I\\F\\S", {{"I", "F\\S"}, {"I\\F", "S"}}), (Split{"I\\F", "S"}));
    EXPECT_EQ(SplitWith("a\\b", {{"", "a\\b"}}), (Split{"", "a\\b"}));
    EXPECT_EQ(SplitWith("K\\", {{"K", ""}}), (Split{"K", ""}));
    // Nothing confirmed: the last separator.
    EXPECT_EQ(SplitWith("a\\b\\c", {}), (Split{"a\\b", "c"}));
    EXPECT_EQ(SplitWith("v", {}), (Split{"", "v"}));
    EXPECT_EQ(SplitWith("", {}), (Split{"", ""}));
    // A trail byte 0x5C never splits.
    EXPECT_EQ(SplitWith("k\\\x95\\v", {}, ShiftJisLeadByte), (Split{"k", "\x95\\v"}));
    EXPECT_EQ(SplitWith("\x95\\\\v", {}, ShiftJisLeadByte), (Split{"\x95\\", "v"}));
}

TEST(ValueBoundary, AnyBytesSplitIntoThePath) {
    std::mt19937 random(12);
    const char alphabet[] = {'\\', 'a', '\x83', '\x95', '\x5C', '\0'};
    for (int round = 0; round < 2000; ++round) {
        std::string below(random() % 12, 'x');
        for (char& c : below)
            c = alphabet[random() % sizeof alphabet];
        const Split split = SplitWith(below, {}, ShiftJisLeadByte);
        const std::string joined =
            split.subKey.empty() && split.valueName == below ? below : split.subKey + "\\" + split.valueName;
        EXPECT_EQ(joined, below);
    }
}

std::string Encode(const std::string& data) {
    std::vector<char> out(data.size() * 5 + 1, '#');
    const int written = ITavishInc::Base64Encode(data.data(), int(data.size()), out.data());
    EXPECT_GE(written, 0);
    EXPECT_LE(size_t(written), data.size() * 5);
    return std::string(out.data(), size_t(written));
}

int ComparePaths(const std::string& left, const std::string& right, brannock::LeadByteTest isLeadByte) {
    return kelmira::CompareAnsiPaths(left, right, isLeadByte);
}

TEST(AnsiPathOrder, FoldsSingleByteAsciiLettersOnly) {
    EXPECT_EQ(ComparePaths("Software\\Vendor", "SOFTWARE\\vendor", NoLeadBytes), 0);
    EXPECT_LT(ComparePaths("a", "B", NoLeadBytes), 0);
    EXPECT_LT(ComparePaths("[", "a", NoLeadBytes), 0); // letters fold to lower case
    EXPECT_NE(ComparePaths("\xC9", "\xE9", NoLeadBytes), 0);
    EXPECT_LT(ComparePaths("ab", "abc", NoLeadBytes), 0);
    EXPECT_GT(ComparePaths("abc", "AB", NoLeadBytes), 0);
    EXPECT_EQ(ComparePaths("", "", NoLeadBytes), 0);
    EXPECT_LT(ComparePaths("", "a", NoLeadBytes), 0);
}

TEST(AnsiPathOrder, TwoByteCharactersCompareAsUnits) {
    // Without lead bytes these fold alike; as Shift JIS they are two different characters.
    EXPECT_EQ(ComparePaths("k\\\x83\x41", "k\\\x83\x61", NoLeadBytes), 0);
    EXPECT_LT(ComparePaths("k\\\x83\x41", "k\\\x83\x61", ShiftJisLeadByte), 0);
    EXPECT_GT(ComparePaths("\x83\x61", "\x83\x41", ShiftJisLeadByte), 0);
    EXPECT_EQ(ComparePaths("A\x83\x41", "a\x83\x41", ShiftJisLeadByte), 0);
    // A single-byte character sorts below every two-byte one.
    EXPECT_LT(ComparePaths("\xB1", "\x83\x41", ShiftJisLeadByte), 0);
    EXPECT_LT(ComparePaths("z", "\x81\x40", ShiftJisLeadByte), 0);
    // A lead byte at the end stands alone, below the characters it would start.
    EXPECT_LT(ComparePaths("a\x83", "a\x83\x41", ShiftJisLeadByte), 0);
    EXPECT_EQ(ComparePaths("a\x83", "A\x83", ShiftJisLeadByte), 0);
    EXPECT_GT(ComparePaths("a\x83", "a", ShiftJisLeadByte), 0);
}

TEST(AnsiPathOrder, AnyBytesGiveAStrictWeakOrder) {
    std::mt19937 random(932);
    std::uniform_int_distribution<int> length(0, 4);
    const char alphabet[] = {'a', 'A', 'b', '\\', '\x83', '\x41', '\x61', '\x5C', '\xB1', '\xE0'};
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 1);
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        std::string path;
        for (int n = length(random); n > 0; --n)
            path += alphabet[pick(random)];
        paths.push_back(path);
    }
    for (const std::string& a : paths) {
        EXPECT_EQ(ComparePaths(a, a, ShiftJisLeadByte), 0);
        for (const std::string& b : paths) {
            const int ab = ComparePaths(a, b, ShiftJisLeadByte);
            EXPECT_EQ(ab, -ComparePaths(b, a, ShiftJisLeadByte));
            for (const std::string& c : paths) {
                if (ab <= 0 && ComparePaths(b, c, ShiftJisLeadByte) <= 0) {
                    EXPECT_LE(ComparePaths(a, c, ShiftJisLeadByte), 0);
                }
            }
        }
    }
}

TEST(Base64Encode, StandardAlphabetWithPadding) {
    const struct {
        std::string data;
        const char* text;
    } cases[] = {
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0", 1), "AA=="},
        {std::string("\xFB\xEF\xFF", 3), "++//"},
        {std::string("\x00\x10\x83\x10\x51\x87", 6), "ABCDEFGH"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Encode(c.data), c.text) << c.text;
}

TEST(Base64Encode, NothingForNoInput) {
    char out[8] = "unused";
    EXPECT_EQ(ITavishInc::Base64Encode("abc", 0, out), 0);
    EXPECT_EQ(ITavishInc::Base64Encode("abc", -5, out), 0);
    EXPECT_EQ(ITavishInc::Base64Encode(nullptr, 3, out), 0);
    EXPECT_EQ(ITavishInc::Base64Encode("abc", 3, nullptr), 0);
    EXPECT_STREQ(out, "unused");
}

// Every length up to 300, random bytes: the text decodes back, has no line breaks, and stays in
// the 5 x length buffer, which ends at a page that faults on access.
TEST(Base64Encode, RoundTripsInsideItsBuffer) {
    std::mt19937 random(99);
    constexpr size_t kLongest = 300;
    test_support::GuardedBuffer region(5 * kLongest);
    for (size_t length = 1; length <= kLongest; ++length) {
        std::string data(length, '\0');
        for (char& c : data)
            c = char(random());
        char* out = region.chars() + region.size() - 5 * length;
        const int written = ITavishInc::Base64Encode(data.data(), int(length), out);
        ASSERT_EQ(size_t(written), (length + 2) / 3 * 4);
        const std::string text(out, size_t(written));
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        const auto decoded = track::DecodeBase64(text);
        ASSERT_TRUE(decoded.has_value()) << "length " << length;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), data) << "length " << length;
    }
}

} // namespace
