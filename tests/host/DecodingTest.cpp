// Base64, registry type names, the decoding of registry data for people, and the ordinal comparison
// of names.
#include "host/track/result/Base64.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/NoiseReason.h"
#include "host/track/result/TextEncoding.h"

#include "common/LaterWindows.h"
#include "common/Win32.h"

#include <gtest/gtest.h>

namespace {

using track::DecodeBase64;
using track::DescribeRegistryData;
using track::EncodeBase64;

TEST(Base64, DecodesCanonicalTextWithAndWithoutPadding) {
    const struct {
        const char* text;
        std::string bytes;
    } cases[] = {
        {"", ""},
        {"QQ==", "A"},
        {"QQ", "A"},
        {"QUI=", "AB"},
        {"QUI", "AB"},
        {"QUJD", "ABC"},
        {"QUJDRA==", "ABCD"},
        {"MS4wLjAA", std::string("1.0.0\0", 6)},
        {"+/+/", "\xfb\xff\xbf"},
    };
    for (const auto& c : cases) {
        const auto decoded = DecodeBase64(c.text);
        ASSERT_TRUE(decoded.has_value()) << c.text;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), c.bytes) << c.text;
    }
}

TEST(Base64, RefusesMalformedText) {
    for (const char* text :
         {"Q", "QQ=", "Q===", "====", "=", "QQ==QQ==", "QU I=", "QUI\n", "QR==", "QUJ*", "QUJD=", "-_-_"}) {
        EXPECT_FALSE(DecodeBase64(text).has_value()) << text;
    }
}

TEST(Base64, EncodingRoundTripsEveryLengthAndByte) {
    std::vector<std::uint8_t> bytes;
    for (int length = 0; length < 260; ++length) {
        const auto decoded = DecodeBase64(EncodeBase64(bytes));
        ASSERT_TRUE(decoded.has_value()) << length;
        EXPECT_EQ(*decoded, bytes) << length;
        bytes.push_back(static_cast<std::uint8_t>(length * 7));
    }
}

TEST(RegistryTypes, NamesTheStandardTypesAndNumbersTheRest) {
    EXPECT_EQ(track::RegistryTypeName(REG_NONE), "REG_NONE");
    EXPECT_EQ(track::RegistryTypeName(REG_SZ), "REG_SZ");
    EXPECT_EQ(track::RegistryTypeName(REG_EXPAND_SZ), "REG_EXPAND_SZ");
    EXPECT_EQ(track::RegistryTypeName(REG_BINARY), "REG_BINARY");
    EXPECT_EQ(track::RegistryTypeName(REG_DWORD), "REG_DWORD");
    EXPECT_EQ(track::RegistryTypeName(REG_DWORD_BIG_ENDIAN), "REG_DWORD_BIG_ENDIAN");
    EXPECT_EQ(track::RegistryTypeName(REG_MULTI_SZ), "REG_MULTI_SZ");
    EXPECT_EQ(track::RegistryTypeName(REG_QWORD), "REG_QWORD");
    EXPECT_EQ(track::RegistryTypeName(12), "type 12");
    EXPECT_EQ(track::RegistryTypeName(0xFFFFFFFF), "type 4294967295");
}

std::string B64(const std::string& bytes) {
    return EncodeBase64(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

TEST(RegistryData, IsDescribedForPeopleByType) {
    const std::string forty(40, '\x11');
    const struct {
        DWORD type;
        std::string data;
        const char* shown;
    } cases[] = {
        {REG_SZ, std::string("1.0.0\0", 6), "\"1.0.0\""},
        {REG_SZ, "no terminator", "\"no terminator\""},
        {REG_SZ, std::string("cut\0after", 9), "\"cut\""},
        {REG_SZ, std::string("\0", 1), "\"\""},
        {REG_SZ, "", "\"\""},
        {REG_SZ, std::string("two\r\nlines\t\x01", 13), "\"two\\r\\nlines\\t\\x01\""},
        {REG_SZ, "C:\\Program Files\\A \"B\"", "\"C:\\Program Files\\A \"B\"\""},
        {REG_EXPAND_SZ, std::string("%TEMP%\\x.log\0", 13), "\"%TEMP%\\x.log\""},
        {REG_MULTI_SZ, std::string("core\0help\0samples\0\0", 19), "\"core\", \"help\", \"samples\""},
        {REG_MULTI_SZ, std::string("\0", 1), "(empty list)"},
        {REG_MULTI_SZ, "", "(empty list)"},
        {REG_MULTI_SZ, std::string("a\0\0b\0\0", 6), "\"a\", \"\", \"b\""},
        {REG_DWORD, std::string("\x12\x04\0\0", 4), "1042 (0x00000412)"},
        {REG_DWORD, std::string("\xff\xff\xff\xff", 4), "4294967295 (0xffffffff)"},
        {REG_DWORD, std::string("\x01\x02\x03", 3), "01 02 03 (3 bytes), not the size of a number"},
        {REG_DWORD_BIG_ENDIAN, std::string("\0\0\x04\x12", 4), "1042 (0x00000412)"},
        {REG_QWORD, std::string("\0\0\0\x40\x01\0\0\0", 8), "5368709120 (0x0000000140000000)"},
        {REG_QWORD, std::string("\x01\0\0\0", 4), "01 00 00 00 (4 bytes), not the size of a number"},
        {REG_BINARY, "ORV", "4f 52 56 (3 bytes)"},
        {REG_BINARY, "\x7f", "7f (1 byte)"},
        {REG_BINARY, "", "(0 bytes)"},
        {REG_NONE, "", "(0 bytes)"},
        {REG_BINARY, forty,
         "11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 "
         "... "
         "(40 bytes)"},
        {77, "\x01\x02", "01 02 (2 bytes)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DescribeRegistryData(c.type, B64(c.data)), c.shown) << c.type << " " << c.shown;
}

TEST(RegistryData, TextThatIsNotBase64IsShownAsSuch) {
    EXPECT_EQ(DescribeRegistryData(REG_SZ, "not base64!"), "(data is not valid Base64: \"not base64!\")");
    EXPECT_EQ(DescribeRegistryData(REG_DWORD, "Q"), "(data is not valid Base64: \"Q\")");
}

TEST(NoiseReasons, ExplainTheLibrarysAnswerFromTheEvidence) {
    const track::PathFacts gone{false, false}, readable{true, true}, locked{true, false};
    const struct {
        const char* path;
        track::PathFacts facts;
        const char* reasonStart;
    } cases[] = {
        {"C:\\Program Files\\App\\desktop.ini", gone, "no longer exists"},
        {"C:\\Program Files\\App\\desktop.ini", readable, "shell view file"},
        {"C:\\Program Files\\App\\Thumbs.db", readable, "shell view file"},
        {"C:\\Program Files\\App\\THUMBS.DB", locked, "cannot be opened"},
        {"C:\\windows\\Installer\\x.msi", readable, "installer bookkeeping"},
        {"C:\\Program Files\\InstallShield Installation Information\\{x}\\setup.ini", readable,
         "installer bookkeeping"},
        {"C:\\windows\\system32\\CatRoot2\\x.cat", readable, "system-maintained"},
        {"C:\\windows\\Temp\\x.tmp", readable, "system-maintained"},
        {"C:\\windows\\system32\\winevt\\Logs\\a.evtx", readable, "system-maintained"},
        {"C:\\Program Files\\App", locked, "cannot be opened"},
        {"C:\\Program Files\\App\\app.exe", readable, "judged noise by Orvane.dll"},
    };
    for (const auto& c : cases) {
        const std::string reason = track::NoiseReason(c.path, c.facts);
        EXPECT_EQ(reason.rfind(c.reasonStart, 0), 0u) << c.path << ": " << reason;
    }
}

TEST(NoiseReasons, TheProbeTellsMissingFoldersAndReadableFilesApart) {
    char self[MAX_PATH];
    ::GetModuleFileNameA(nullptr, self, sizeof self);
    const track::PathFacts file = track::ProbePath(self);
    EXPECT_TRUE(file.exists && file.readable);
    const track::PathFacts folder = track::ProbePath("C:\\windows");
    EXPECT_TRUE(folder.exists);
    EXPECT_FALSE(folder.readable);
    const track::PathFacts missing = track::ProbePath("C:\\no\\such\\file.txt");
    EXPECT_FALSE(missing.exists || missing.readable);
}

// Pairs that a linguistic comparison (lstrcmpiW) and an ordinal one answer differently, or where a
// locale's own casing would: composed and decomposed accents, the German sharp s, the Turkish I.
struct NamePair {
    const wchar_t* a;
    const wchar_t* b;
    bool same;
};
const NamePair kNamePairs[] = {
    {L"C:\\Program Files\\\u00C4pfel", L"c:\\PROGRAM FILES\\\u00E4PFEL", true},
    {L"\u041F\u0430\u043F\u043A\u0430", L"\u041F\u0410\u041F\u041A\u0410", true}, // Cyrillic
    {L"\u00D6l \u00DCber \u00C9t\u00E9", L"\u00F6L \u00FCBER \u00E9T\u00C9", true},
    {L"", L"", true},
    {L"caf\u00E9", L"cafe\u0301", false}, // one letter composed, the other decomposed
    {L"stra\u00DFe", L"STRASSE", false},
    {L"\u0130", L"i", false},
    {L"abc", L"abcd", false},
    {L"abc", L"abd", false},
    {L"a-b", L"ab", false},
};

TEST(OrdinalNames, CaseFoldsLetterByLetterWithoutLinguisticRules) {
    for (const NamePair& pair : kNamePairs) {
        EXPECT_EQ(track::SameIgnoringCaseOrdinal(pair.a, pair.b), pair.same)
            << testing::PrintToString(pair.a);
        EXPECT_EQ(track::SameIgnoringCaseOrdinal(pair.b, pair.a), pair.same)
            << testing::PrintToString(pair.b);
    }
}

// Where the system has CompareStringOrdinal (Vista on), both answer alike.
TEST(OrdinalNames, AnswerAsCompareStringOrdinalDoesWhereThereIsOne) {
    using CompareOrdinal = int(WINAPI*)(LPCWSTR, int, LPCWSTR, int, BOOL);
    const auto compare = Kernel32Function<CompareOrdinal>("CompareStringOrdinal");
    if (compare == nullptr)
        GTEST_SKIP() << "this Windows has no CompareStringOrdinal";
    for (const NamePair& pair : kNamePairs)
        EXPECT_EQ(track::SameIgnoringCaseOrdinal(pair.a, pair.b),
                  compare(pair.a, -1, pair.b, -1, TRUE) == CSTR_EQUAL)
            << testing::PrintToString(pair.a);
}

} // namespace
