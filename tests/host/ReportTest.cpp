// The three report forms built from a known result: the text people read, JSON for tools, and a
// registry script that reg.exe imports back into exactly the values it was made from.
#include "host/track/result/Base64.h"
#include "host/track/output/Reports.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/support/TestSupport.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

namespace {

using host_tests::Bytes;
using host_tests::ReportSection;
using track::EncodeBase64;
using track::RegistryValue;
using track::TrackResult;

TrackResult SampleResult() {
    TrackResult result;
    result.setupCommand = "\"C:\\Setups\\my setup.exe\" /S";
    result.setupExitCode = 3010;
    result.seconds = 2.2;
    result.files = {"C:\\Program Files\\App\\app.exe", "C:\\Program Files\\App\\data\\x.dat"};
    result.eliminated = {{"C:\\Program Files\\App\\desktop.ini", "shell view file: because"}};
    result.registry = {
        {"HKLM\\Software\\App\\Build", REG_DWORD, EncodeBase64(Bytes(std::string("\x12\x04\0\0", 4)))},
        {"HKLM\\Software\\App\\Version", REG_SZ, EncodeBase64(Bytes(std::string("1.0\0", 4)))},
        {"HKCU\\Software\\App\\Features", REG_MULTI_SZ, EncodeBase64(Bytes(std::string("a\0b\0\0", 5)))},
        {"HKCU\\Software\\App\\Blob", REG_BINARY, EncodeBase64(Bytes("\x01\xff"))},
        {"HKCU\\Software\\App\\Size", REG_QWORD, EncodeBase64(Bytes(std::string("\0\0\0\x40\x01\0\0\0", 8)))},
        {"HKCU\\Software\\App\\Broken", REG_SZ, "%%%"},
    };
    return result;
}

TEST(TextReport, ListsFilesValuesAndASummary) {
    const std::string report = track::FormatTextReport(SampleResult(), false);
    EXPECT_EQ(report.rfind("Tracked: \"C:\\Setups\\my setup.exe\" /S\n", 0), 0u) << report;
    EXPECT_EQ(ReportSection(report, "Files added"), SampleResult().files);
    EXPECT_TRUE(ReportSection(report, "Files eliminated as noise").empty()) << "listed only on request";
    const auto registry = ReportSection(report, "Registry values");
    ASSERT_EQ(registry.size(), 6u) << report;
    // Paths padded to one column, then the type name padded, then the decoded data.
    // Without any old state kept, each value says so.
    EXPECT_EQ(registry[0],
              "HKLM\\Software\\App\\Build     REG_DWORD     1042 (0x00000412)  [old data unknown]");
    EXPECT_EQ(registry[1], "HKLM\\Software\\App\\Version   REG_SZ        \"1.0\"  [old data unknown]");
    EXPECT_EQ(registry[2], "HKCU\\Software\\App\\Features  REG_MULTI_SZ  \"a\", \"b\"  [old data unknown]");
    EXPECT_EQ(registry[3],
              "HKCU\\Software\\App\\Blob      REG_BINARY    01 ff (2 bytes)  [old data unknown]");
    EXPECT_EQ(
        registry[4],
        "HKCU\\Software\\App\\Size      REG_QWORD     5368709120 (0x0000000140000000)  [old data unknown]");
    EXPECT_EQ(registry[5],
              "HKCU\\Software\\App\\Broken    REG_SZ        (data is not valid Base64: \"%%%\")  "
              "[old data unknown]");
    EXPECT_NE(report.find("\nSummary: 2 files added, 6 registry values written, 1 file eliminated as noise; "
                          "setup exit code 3010 after 2.2 s\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("--eliminated lists"), std::string::npos);
}

TEST(TextReport, ListsEliminatedFilesWithTheirReasonOnRequest) {
    const std::string report = track::FormatTextReport(SampleResult(), true);
    EXPECT_EQ(
        ReportSection(report, "Files eliminated as noise"),
        (std::vector<std::string>{"C:\\Program Files\\App\\desktop.ini", "    shell view file: because"}));
    EXPECT_EQ(report.find("--eliminated lists"), std::string::npos);
}

TEST(TextReport, SaysNoneForEmptySections) {
    TrackResult empty;
    empty.setupCommand = "setup.exe";
    const std::string report = track::FormatTextReport(empty, true);
    for (const char* heading :
         {"Files added", "Files changed", "Files removed", "Files eliminated as noise", "Registry values"})
        EXPECT_EQ(ReportSection(report, heading), std::vector<std::string>{"(none)"}) << heading;
    EXPECT_NE(report.find("Summary: 0 files added, 0 registry values written; setup exit code 0 after 0.0 s"),
              std::string::npos);
    empty.files = {"x"};
    empty.registry = {{"HKCU\\a\\b", REG_SZ, ""}};
    EXPECT_NE(track::FormatSummary(empty).find("1 file added, 1 registry value written"), std::string::npos);
}

TEST(JsonReport, IsValidJsonCarryingTheWholeResult) {
    const auto parsed = json::Parse(track::FormatJsonReport(SampleResult()));
    ASSERT_TRUE(parsed.has_value()) << track::FormatJsonReport(SampleResult());
    const json::Value& root = *parsed;
    EXPECT_EQ(root["setup"]["command"].text, "\"C:\\Setups\\my setup.exe\" /S");
    EXPECT_EQ(root["setup"]["exitCode"].text, "3010");
    EXPECT_EQ(root["setup"]["seconds"].text, "2.200");
    ASSERT_EQ(root["files"].items.size(), 2u);
    EXPECT_EQ(root["files"][1].text, "C:\\Program Files\\App\\data\\x.dat");
    ASSERT_EQ(root["eliminatedFiles"].items.size(), 1u);
    EXPECT_EQ(root["eliminatedFiles"][0]["reason"].text, "shell view file: because");
    const json::Value& registry = root["registry"];
    ASSERT_EQ(registry.items.size(), 6u);
    EXPECT_EQ(registry[0]["path"].text, "HKLM\\Software\\App\\Build");
    EXPECT_EQ(registry[0]["type"].text, "REG_DWORD");
    EXPECT_EQ(registry[0]["typeCode"].text, "4");
    EXPECT_EQ(registry[0]["data"].text, "EgQAAA==");
    EXPECT_EQ(registry[0]["value"].kind, json::Value::Number);
    EXPECT_EQ(registry[0]["value"].text, "1042");
    EXPECT_EQ(registry[1]["value"].text, "1.0");
    EXPECT_EQ(registry[2]["value"].kind, json::Value::Array);
    EXPECT_EQ(registry[2]["value"].items.size(), 2u);
    EXPECT_EQ(registry[3]["value"].text, "01 ff");
    EXPECT_EQ(registry[4]["value"].text, "5368709120");
    EXPECT_EQ(registry[5]["value"].kind, json::Value::Null);
    EXPECT_EQ(root["summary"]["files"].text, "2");
    EXPECT_EQ(root["summary"]["eliminatedFiles"].text, "1");
    EXPECT_EQ(root["summary"]["registryValues"].text, "6");
}

TEST(JsonReport, EscapesControlCharactersAndConvertsTheAnsiCodePage) {
    TrackResult result;
    result.setupCommand = "tab\there \"quoted\" back\\slash \x01";
    result.files = {"C:\\Caf\xe9\\x.txt", ""};
    result.registry = {{"HKCU\\x\\Multi", REG_MULTI_SZ, EncodeBase64(Bytes(std::string("l1\nl2\0\0", 7)))}};
    const std::string text = track::FormatJsonReport(result);
    for (unsigned char c : text)
        EXPECT_TRUE(c >= 0x20 || c == '\n') << "raw control character " << int(c);
    const auto parsed = json::Parse(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ((*parsed)["setup"]["command"].text, "tab\there \"quoted\" back\\slash \x01");
    EXPECT_EQ((*parsed)["files"][1].text, "");
    EXPECT_EQ((*parsed)["registry"][0]["value"][0].text, "l1\nl2");
    // Whatever the ANSI code page makes of byte E9, it arrives as UTF-8 of the same character.
    wchar_t wide[4] = {};
    ::MultiByteToWideChar(CP_ACP, 0, "\xe9", 1, wide, 4);
    char utf8[8] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, wide, 1, utf8, sizeof utf8, nullptr, nullptr);
    EXPECT_EQ((*parsed)["files"][0].text, std::string("C:\\Caf") + utf8 + "\\x.txt");
}

std::wstring ScriptText(const std::string& bytes) {
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return text;
}

TEST(RegScript, IsUtf16WithTheVersionFiveHeaderAndValuesGroupedByKey) {
    const std::string bytes = track::FormatRegScript(SampleResult());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xff\xfe");
    const std::wstring text = ScriptText(bytes);
    EXPECT_EQ(text.rfind(L"Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
    EXPECT_NE(text.find(L"; left out, data is not valid Base64: HKCU\\Software\\App\\Broken\r\n"),
              std::wstring::npos);
    EXPECT_NE(
        text.find(
            L"[HKEY_LOCAL_MACHINE\\Software\\App]\r\n\"Build\"=dword:00000412\r\n\"Version\"=\"1.0\"\r\n"
            L"\r\n"),
        std::wstring::npos);
    EXPECT_NE(
        text.find(
            L"[HKEY_CURRENT_USER\\Software\\App]\r\n\"Features\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
            L"\"Blob\"=hex:01,ff\r\n\"Size\"=hex(b):00,00,00,40,01,00,00,00\r\n\r\n"),
        std::wstring::npos)
        << std::string(text.begin(), text.end());
}

TEST(RegScript, SpellsOutRootsKeepsKeysTogetherAndWrapsLongData) {
    TrackResult result;
    result.registry = {
        {"hklm\\Software\\A\\x", REG_DWORD, EncodeBase64(Bytes(std::string("\x01\0\0\0", 4)))},
        {"HKCR\\.orv\\", REG_SZ, EncodeBase64(Bytes(std::string("OrvFile\0", 8)))},
        {"HKEY_USERS\\S-1\\y", REG_DWORD, EncodeBase64(Bytes("\x01\x02"))},
        {"HKEY_CURRENT_CONFIG\\z\\q", REG_NONE, ""},
        {"HKLM\\SOFTWARE\\a\\Long", REG_BINARY, EncodeBase64(std::vector<std::uint8_t>(60, 0xab))},
        {"HKXX\\Software\\nope", REG_SZ, ""},
        {"HKLM", REG_SZ, ""},
    };
    const std::wstring text = ScriptText(track::FormatRegScript(result));
    EXPECT_NE(text.find(L"; left out, unknown registry root: HKXX\\Software\\nope\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"; left out, unknown registry root: HKLM\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"[HKEY_CLASSES_ROOT\\.orv]\r\n@=\"OrvFile\"\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"[HKEY_USERS\\S-1]\r\n\"y\"=hex(4):01,02\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"[HKEY_CURRENT_CONFIG\\z]\r\n\"q\"=hex(0):\r\n"), std::wstring::npos);
    // Keys differing only in letter case are one key, under the first spelling seen.
    EXPECT_EQ(text.find(L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\a]"), std::wstring::npos);
    const size_t longStart = text.find(L"\"Long\"=hex:");
    ASSERT_NE(longStart, std::wstring::npos) << std::string(text.begin(), text.end());
    const std::wstring longValue = text.substr(longStart, text.find(L"\r\n\r\n", longStart) - longStart);
    size_t lineStart = 0, lines = 0;
    for (size_t end;
         (end = longValue.find(L"\r\n", lineStart)) != std::wstring::npos || lineStart < longValue.size();
         lineStart = end + 2) {
        if (end == std::wstring::npos)
            end = longValue.size();
        EXPECT_LE(end - lineStart, 80u);
        ++lines;
        if (end == longValue.size())
            break;
    }
    EXPECT_GE(lines, 3u);
}

// The script reproduces values: written from values read back from a real key, then imported by
// reg.exe after the key is gone, it gives back every value with its type and bytes.
class RegScriptImport : public ::testing::Test {
protected:
    void SetUp() override {
        keyPath_ = "Software\\OrvaneHostTests\\import-" + std::to_string(::GetCurrentProcessId());
        HKEY raw = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &raw, nullptr),
                  ERROR_SUCCESS);
        key_.reset(raw);
    }
    void TearDown() override {
        key_.reset();
        ::RegDeleteTreeA(HKEY_CURRENT_USER, keyPath_.c_str());
        ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\OrvaneHostTests");
    }

    std::string keyPath_;
    UniqueKey key_;
};

TEST_F(RegScriptImport, ReproducesEveryTypeOfValue) {
    const struct {
        const char* name;
        DWORD type;
        std::string data;
    } values[] = {
        {"Text", REG_SZ, std::string("plain text\0", 11)},
        {"Quotes \"and\" more", REG_SZ, std::string("say \"hi\" C:\\dir\\\0", 18)},
        {"Empty", REG_SZ, std::string("\0", 1)},
        {"Lines", REG_SZ, std::string("one\r\ntwo\0", 9)},
        {"Accent", REG_SZ, std::string("caf\xe9\0", 5)},
        {"", REG_SZ, std::string("the default\0", 12)},
        {"Expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15)},
        {"Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
        {"Number", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
        {"BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\x12\x34\x56\x78", 4)},
        {"Wide", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"Blob", REG_BINARY, std::string(100, '\x5a')},
        {"Nothing", REG_NONE, ""},
        {"Odd", 0x20, "\x01\x02\x03"},
    };
    TrackResult result;
    for (const auto& v : values) {
        ASSERT_EQ(::RegSetValueExA(key_.get(), v.name, 0, v.type,
                                   reinterpret_cast<const BYTE*>(v.data.data()),
                                   static_cast<DWORD>(v.data.size())),
                  ERROR_SUCCESS)
            << v.name;
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        ASSERT_TRUE(host_tests::ReadRegistryValue(HKEY_CURRENT_USER, keyPath_, v.name, type, data));
        result.registry.push_back(
            RegistryValue{"HKCU\\" + keyPath_ + "\\" + v.name, type, EncodeBase64(data)});
    }
    test_support::TempDir dir("regscript");
    const std::string script = dir / "values.reg";
    test_support::WriteTextFile(script, track::FormatRegScript(result));
    key_.reset();
    ASSERT_EQ(::RegDeleteTreeA(HKEY_CURRENT_USER, keyPath_.c_str()), ERROR_SUCCESS);

    const auto imported = host_tests::RunProcess("reg.exe import \"" + script + "\"", 60000);
    ASSERT_TRUE(imported.finished);
    ASSERT_EQ(imported.exitCode, 0u) << imported.out << imported.err;
    for (const auto& v : values) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        ASSERT_TRUE(host_tests::ReadRegistryValue(HKEY_CURRENT_USER, keyPath_, v.name, type, data)) << v.name;
        EXPECT_EQ(type, v.type) << v.name;
        EXPECT_EQ(std::string(data.begin(), data.end()), v.data) << v.name;
    }
}

} // namespace
