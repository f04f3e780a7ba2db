// The reports of a run whose old state is known: each value new, changed, deleted, unchanged or of
// unknown old data; files changed and removed with their facts before and after; keys created and
// deleted. The registry script still puts back the state after the setup, which reg.exe shows.
#include "host/track/output/Reports.h"
#include "host/track/result/Base64.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using host_tests::Bytes;
using host_tests::ReportSection;
using track::Before;
using track::EncodeBase64;
using track::OldData;
using track::RegistryValue;
using track::TrackResult;
using track::ValueChange;

constexpr std::uint64_t k2001 = 126256467060000000; // 2001-02-03 04:05:06 UTC
constexpr std::uint64_t k2024 = 133594528890000000; // 2024-05-06 07:08:09 UTC

std::vector<std::uint8_t> Utf16(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

RegistryValue Value(const std::string& path, std::uint32_t type, const std::string& bytes, ValueChange change,
                    OldData before) {
    RegistryValue value{path, type, change == ValueChange::Deleted ? "" : EncodeBase64(Bytes(bytes))};
    value.change = change;
    value.before = std::move(before);
    return value;
}

OldData Kept(std::uint32_t type, const std::vector<std::uint8_t>& bytes) {
    return OldData{Before::Present, type, bytes, ""};
}

const std::string kDword1("\x01\0\0\0", 4);
const char kBigReason[] = "it held 20000000 bytes, more than the capture keeps (16 MB)";

TrackResult ChangeResult() {
    TrackResult result;
    result.setupCommand = "setup.exe";
    result.files = {"C:\\App\\new.txt"};
    result.changedFiles = {
        {"C:\\App\\app.exe", {true, 100, k2001, 0x20}, {true, 200, k2024, 0x20}, "C:\\store\\files\\1", ""}};
    result.removedFiles = {
        {"C:\\App\\old.dll", {true, 1, 0, 0x20}, {}, "", "old content not kept: no copy was made"}};
    result.registry = {
        Value("HKLM\\Software\\App\\Build", REG_DWORD, std::string("\x12\x04\0\0", 4), ValueChange::New,
              OldData{Before::Absent, 0, {}, ""}),
        Value("HKLM\\Software\\App\\Version", REG_SZ, std::string("2.0\0", 4), ValueChange::Changed,
              Kept(REG_SZ, Utf16(std::wstring(L"1.0\0", 4)))),
        Value("HKLM\\Software\\App\\Mode", REG_DWORD, kDword1, ValueChange::Changed,
              Kept(REG_SZ, Utf16(std::wstring(L"one\0", 4)))),
        Value("HKCU\\Software\\App\\Name", REG_SZ, std::string("x\0", 2), ValueChange::Changed,
              Kept(REG_SZ, Utf16(std::wstring(L"\u03a9mega\0", 6)))),
        Value("HKCU\\Software\\App\\Same", REG_DWORD, kDword1, ValueChange::Unchanged,
              Kept(REG_DWORD, Bytes(kDword1))),
        Value("HKCU\\Software\\App\\Big", REG_BINARY, "\x01", ValueChange::OldUnknown,
              OldData{Before::TooLarge, REG_BINARY, {}, kBigReason}),
        Value("HKCU\\Software\\App\\Lang", REG_SZ, std::string("en\0", 3), ValueChange::OldUnknown,
              OldData{Before::Unknown, 0, {}, track::kNoOldStateKept}),
        Value("HKLM\\Software\\App\\Gone", REG_SZ, "", ValueChange::Deleted,
              Kept(REG_SZ, Utf16(std::wstring(L"bye\0", 4)))),
        Value("HKLM\\Software\\Old\\Inner", REG_DWORD, "", ValueChange::Deleted,
              Kept(REG_DWORD, Bytes(std::string("\x07\0\0\0", 4)))),
    };
    result.createdKeys = {"HKLM\\Software\\App", "HKLM\\Software\\App\\Empty"};
    result.deletedKeys = {"HKLM\\Software\\Old", "HKLM\\Software\\Old\\Sub"};
    result.oldStateGaps = {"the old state of the deleted key HKLM\\Software\\Old is not wholly kept: why"};
    return result;
}

std::string Row(const std::string& path, const std::string& type, const std::string& rest) {
    return path + std::string(25 - path.size(), ' ') + "  " + type + std::string(10 - type.size(), ' ') +
           "  " + rest;
}

TEST(ChangeReport, TextSaysHowEachValueAndFileChanged) {
    const std::string report = track::FormatTextReport(ChangeResult(), false);
    EXPECT_EQ(ReportSection(report, "Files added"), std::vector<std::string>{"C:\\App\\new.txt"});
    EXPECT_EQ(ReportSection(report, "Files changed"),
              (std::vector<std::string>{
                  "C:\\App\\app.exe",
                  "    before: 100 bytes, 2001-02-03 04:05:06 UTC; after: 200 bytes, 2024-05-06 07:08:09 UTC",
                  "    old content kept"}))
        << report;
    EXPECT_EQ(ReportSection(report, "Files removed"),
              (std::vector<std::string>{"C:\\App\\old.dll", "    before: 1 byte, time unknown",
                                        "    old content not kept: no copy was made"}));
    EXPECT_EQ(
        ReportSection(report, "Registry values"),
        (std::vector<std::string>{
            Row("HKLM\\Software\\App\\Build", "REG_DWORD", "1042 (0x00000412)  [new]"),
            Row("HKLM\\Software\\App\\Version", "REG_SZ", "\"2.0\"  [changed, was \"1.0\"]"),
            Row("HKLM\\Software\\App\\Mode", "REG_DWORD", "1 (0x00000001)  [changed, was REG_SZ \"one\"]"),
            Row("HKCU\\Software\\App\\Name", "REG_SZ", "\"x\"  [changed, was \"\xce\xa9mega\"]"),
            Row("HKCU\\Software\\App\\Same", "REG_DWORD", "1 (0x00000001)  [unchanged]"),
            Row("HKCU\\Software\\App\\Big", "REG_BINARY",
                "01 (1 byte)  [old data unknown: " + std::string(kBigReason) + "]"),
            Row("HKCU\\Software\\App\\Lang", "REG_SZ", "\"en\"  [old data unknown]"),
            Row("HKLM\\Software\\App\\Gone", "REG_SZ", "[deleted, was \"bye\"]"),
            Row("HKLM\\Software\\Old\\Inner", "REG_DWORD", "[deleted, was 7 (0x00000007)]"),
        }))
        << report;
    EXPECT_EQ(ReportSection(report, "Registry keys created"), ChangeResult().createdKeys);
    EXPECT_EQ(ReportSection(report, "Registry keys deleted"), ChangeResult().deletedKeys);
    EXPECT_EQ(ReportSection(report, "Old state not kept"), ChangeResult().oldStateGaps);
    EXPECT_NE(
        report.find("\nSummary: 1 file added, 1 file changed, 1 file removed, 7 registry values written, "
                    "2 registry values deleted; setup exit code 0 after 0.0 s\n"),
        std::string::npos)
        << report;

    // Sections of keys and gaps appear only when there are any.
    TrackResult plain;
    const std::string empty = track::FormatTextReport(plain, false);
    for (const char* heading : {"Registry keys created", "Registry keys deleted", "Old state not kept"})
        EXPECT_EQ(empty.find(heading), std::string::npos) << heading;
}

TEST(ChangeReport, JsonCarriesEachChangeAndTheOldData) {
    const std::string text = track::FormatJsonReport(ChangeResult());
    const auto parsed = json::Parse(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    const json::Value& registry = (*parsed)["registry"];
    ASSERT_EQ(registry.items.size(), 9u);
    const char* changes[] = {"new",       "changed",          "changed",          "changed",
                             "unchanged", "old data unknown", "old data unknown", "deleted",
                             "deleted"};
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(registry[i]["change"].text, changes[i]) << i;
    EXPECT_EQ(registry[0]["before"].kind, json::Value::Null);
    const json::Value& version = registry[1]["before"];
    EXPECT_EQ(version["type"].text, "1");
    EXPECT_EQ(version["typeName"].text, "REG_SZ");
    EXPECT_EQ(version["data"].text, EncodeBase64(Utf16(std::wstring(L"1.0\0", 4))));
    EXPECT_EQ(version["value"].text, "1.0");
    EXPECT_EQ(registry[3]["before"]["value"].text, "\xce\xa9mega");
    EXPECT_EQ(registry[4]["before"]["value"].text, "1");
    EXPECT_EQ(registry[5]["before"]["unknown"].text, kBigReason);
    EXPECT_EQ(registry[6]["before"]["unknown"].text, track::kNoOldStateKept);
    EXPECT_EQ(registry[7]["data"].kind, json::Value::Null);
    EXPECT_EQ(registry[7]["value"].kind, json::Value::Null);
    EXPECT_EQ(registry[7]["type"].text, "REG_SZ");
    EXPECT_EQ(registry[7]["before"]["value"].text, "bye");

    const json::Value& changed = (*parsed)["filesChanged"];
    ASSERT_EQ(changed.items.size(), 1u);
    EXPECT_EQ(changed[0]["path"].text, "C:\\App\\app.exe");
    EXPECT_EQ(changed[0]["before"]["size"].text, "100");
    EXPECT_EQ(changed[0]["before"]["time"].text, "2001-02-03T04:05:06Z");
    EXPECT_EQ(changed[0]["after"]["size"].text, "200");
    EXPECT_EQ(changed[0]["after"]["time"].text, "2024-05-06T07:08:09Z");
    EXPECT_EQ(changed[0]["kept"].kind, json::Value::Bool);
    EXPECT_TRUE(changed[0]["kept"].boolean);
    EXPECT_FALSE(changed[0].Has("notKept"));
    const json::Value& removed = (*parsed)["filesRemoved"];
    ASSERT_EQ(removed.items.size(), 1u);
    EXPECT_EQ(removed[0]["after"].kind, json::Value::Null);
    EXPECT_EQ(removed[0]["before"]["time"].kind, json::Value::Null);
    EXPECT_FALSE(removed[0]["kept"].boolean);
    EXPECT_EQ(removed[0]["notKept"].text, "old content not kept: no copy was made");

    EXPECT_EQ((*parsed)["keysCreated"][1].text, "HKLM\\Software\\App\\Empty");
    EXPECT_EQ((*parsed)["keysDeleted"].items.size(), 2u);
    EXPECT_EQ((*parsed)["oldStateGaps"].items.size(), 1u);
    const json::Value& summary = (*parsed)["summary"];
    EXPECT_EQ(summary["registryValues"].text, "9");
    EXPECT_EQ(summary["registryValuesDeleted"].text, "2");
    EXPECT_EQ(summary["filesChanged"].text, "1");
    EXPECT_EQ(summary["filesRemoved"].text, "1");
    EXPECT_EQ(summary["keysCreated"].text, "2");
    EXPECT_EQ(summary["keysDeleted"].text, "2");

    // A value made and removed again had no type and has none.
    TrackResult scratch;
    RegistryValue gone{"HKCU\\Software\\App\\Scratch", 0, ""};
    gone.change = ValueChange::New;
    gone.before.state = Before::Absent;
    scratch.eliminatedRegistry = {{gone, "written and deleted again"}};
    const auto noise = json::Parse(track::FormatJsonReport(scratch));
    ASSERT_TRUE(noise.has_value());
    EXPECT_EQ((*noise)["eliminatedRegistry"][0]["type"].kind, json::Value::Null);
    EXPECT_EQ((*noise)["eliminatedRegistry"][0]["reason"].text, "written and deleted again");
}

std::wstring ScriptText(const std::string& bytes) {
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return text;
}

TEST(ChangeReport, TheRegistryScriptPutsBackTheStateAfterTheSetup) {
    const std::wstring text = ScriptText(track::FormatRegScript(ChangeResult()));
    // The deleted tree once, at its top; its values go with it, and naming them would make it again.
    EXPECT_NE(text.find(L"\r\n[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"Old\\Sub"), std::wstring::npos);
    EXPECT_EQ(text.find(L"Inner"), std::wstring::npos);
    EXPECT_NE(
        text.find(
            L"[HKEY_LOCAL_MACHINE\\Software\\App]\r\n\"Build\"=dword:00000412\r\n\"Version\"=\"2.0\"\r\n"
            L"\"Mode\"=dword:00000001\r\n\"Gone\"=-\r\n\r\n"),
        std::wstring::npos)
        << std::string(text.begin(), text.end());
    EXPECT_NE(text.find(L"[HKEY_LOCAL_MACHINE\\Software\\App\\Empty]\r\n\r\n"), std::wstring::npos);
}

// reg.exe, given the script on the state before the setup, makes the state after it.
TEST(ChangeReport, RegExeImportsDeletionsOfValuesAndKeys) {
    const std::string base = "Software\\OrvaneHostTests\\changes-" + std::to_string(::GetCurrentProcessId());
    auto make = [&](const std::string& key) {
        HKEY raw = nullptr;
        EXPECT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &raw, nullptr),
                  ERROR_SUCCESS);
        return UniqueKey(raw);
    };
    {
        const UniqueKey app = make(base + "\\App");
        ::RegSetValueExA(app.get(), "Gone", 0, REG_SZ, reinterpret_cast<const BYTE*>("bye"), 4);
        ::RegSetValueExA(app.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("1.0"), 4);
        make(base + "\\Old\\Sub");
    }
    const std::string root = "HKCU\\" + base;
    TrackResult result;
    result.registry = {
        Value(root + "\\App\\Version", REG_SZ, std::string("2.0\0", 4), ValueChange::Changed,
              Kept(REG_SZ, {})),
        Value(root + "\\App\\Gone", REG_SZ, "", ValueChange::Deleted, Kept(REG_SZ, {})),
        Value(root + "\\Old\\Sub\\x", REG_SZ, "", ValueChange::Deleted, Kept(REG_SZ, {})),
    };
    result.deletedKeys = {root + "\\Old", root + "\\Old\\Sub"};
    result.createdKeys = {root + "\\Made"};
    test_support::TempDir dir("changes");
    const std::string script = dir / "after.reg";
    test_support::WriteTextFile(script, track::FormatRegScript(result));

    const auto imported = host_tests::RunProcess("reg.exe import \"" + script + "\"", 60000);
    ASSERT_TRUE(imported.finished);
    EXPECT_EQ(imported.exitCode, 0u) << imported.out << imported.err;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    EXPECT_TRUE(host_tests::ReadRegistryValue(HKEY_CURRENT_USER, base + "\\App", "Version", type, data));
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("2.0\0", 4));
    EXPECT_FALSE(host_tests::ReadRegistryValue(HKEY_CURRENT_USER, base + "\\App", "Gone", type, data));
    HKEY probe = nullptr;
    EXPECT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, (base + "\\Old").c_str(), 0, KEY_READ, &probe),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, (base + "\\Made").c_str(), 0, KEY_READ, &probe),
              ERROR_SUCCESS);
    UniqueKey made(probe);
    made.reset();
    ::RegDeleteTreeA(HKEY_CURRENT_USER, base.c_str());
    ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\OrvaneHostTests");
}

} // namespace
