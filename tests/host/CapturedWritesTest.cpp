// The capture's log lines as the tracker reads them on their way to the driver, and what it makes of
// them against a built result: the process behind each value, and the reason for each value the
// library kept no record of. Lines are built as the capture builds them; malformed ones on purpose.
// The one live-registry question (does a value exist now) is asked of the real registry at the end.
#include "host/track/output/Reports.h"
#include "host/track/result/CapturedWrites.h"
#include "host/track/run/CapturedValueCheck.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/host/ReportValues.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using track::CapturedLine;
using track::CapturedOperation;
using track::CapturedWrites;
using track::ExplainCapturedValues;
using track::LineExclusion;
using track::ParseCapturedLine;
using track::RegistryValue;
using track::TrackResult;
using track::ValueNow;

std::string SetLine(const std::string& process, const std::string& path,
                    const std::string& status = "SUCCESS", const std::string& type = "REG_SZ") {
    return process + "\tSetValue\t" + path + "\t" + status + "\tType: " + type + ", Length: 4";
}

std::string DeleteLine(const std::string& process, const std::string& key,
                       const std::string& status = "SUCCESS") {
    return process + "\tDeleteKey\t" + key + "\t" + status + "\tKey deleted";
}

TEST(CapturedLineParse, ReadsTheCapturesLinesWithImageIdAndType) {
    const auto set = ParseCapturedLine("setup.exe:1234\tSetValue\tHKLM\\Software\\X\\Name\tSUCCESS\t"
                                       "Type: REG_MULTI_SZ, Length: 12");
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(set->process, "setup.exe:1234");
    EXPECT_EQ(set->image, "setup.exe");
    EXPECT_EQ(set->processId, 1234u);
    EXPECT_EQ(set->operation, CapturedOperation::SetValue);
    EXPECT_EQ(set->path, "HKLM\\Software\\X\\Name");
    EXPECT_TRUE(set->Succeeded());
    EXPECT_EQ(set->type, 7u);

    const auto deleted = ParseCapturedLine(DeleteLine("msiexec.exe:4294967295", "HKCU\\Software\\X"));
    ASSERT_TRUE(deleted.has_value());
    EXPECT_EQ(deleted->operation, CapturedOperation::DeleteKey);
    EXPECT_EQ(deleted->image, "msiexec.exe");
    EXPECT_EQ(deleted->processId, 4294967295u);
    EXPECT_EQ(deleted->path, "HKCU\\Software\\X");

    // A type without a REG_* name is its number; a detail that names none gives 0.
    EXPECT_EQ(ParseCapturedLine(SetLine("a.exe:1", "HKLM\\X\\v", "SUCCESS", "4711"))->type, 4711u);
    EXPECT_EQ(ParseCapturedLine(SetLine("a.exe:1", "HKLM\\X\\v", "SUCCESS", "REG_SOMETHING"))->type, 0u);
    EXPECT_EQ(ParseCapturedLine("a.exe:1\tSetValue\tHKLM\\X\\v\tSUCCESS\tno type here")->type, 0u);
    // The default value's path ends in the backslash.
    EXPECT_EQ(ParseCapturedLine(SetLine("a.exe:1", "HKLM\\X\\"))->path, "HKLM\\X\\");
}

TEST(CapturedLineParse, AProcessFieldWithoutAnIdIsAllImage) {
    const std::map<std::string, std::pair<std::string, unsigned long>> fields = {
        {"rundll32.exe", {"rundll32.exe", 0}},   // the driver's callback names the image alone
        {"setup.exe:", {"setup.exe:", 0}},       // no digits after the colon
        {"setup.exe:12a", {"setup.exe:12a", 0}}, // not a number
        {"setup.exe:-1", {"setup.exe:-1", 0}},
        {"setup.exe:4294967296", {"setup.exe:4294967296", 0}}, // past 32 bits
        {"C:7", {"C", 7}},                                     // the last colon splits
        {"odd:name:9", {"odd:name", 9}},
        {"", {"", 0}},
    };
    for (const auto& [field, expected] : fields) {
        const auto line = ParseCapturedLine(SetLine(field, "HKLM\\X\\v"));
        ASSERT_TRUE(line.has_value()) << field;
        EXPECT_EQ(line->process, field);
        EXPECT_EQ(line->image, expected.first) << field;
        EXPECT_EQ(line->processId, expected.second) << field;
    }
}

TEST(CapturedLineParse, RefusesWhatTheLibraryRefusesAndKeepsOddStatusesAsFailures) {
    for (const char* bad : {"", "setup.exe:1", "setup.exe:1\tSetValue\tHKLM\\X\\v\tSUCCESS",
                            "setup.exe:1\tSetValue\tHKLM\\X\\v\tSUCCESS\t", // an empty last field
                            "setup.exe:1\tSetValue\tHKLM\\X\\v\tSUCCESS\tType: REG_SZ\tmore"})
        EXPECT_FALSE(ParseCapturedLine(bad).has_value()) << bad;
    // As the library splits: a single tab at the end is not a sixth field.
    EXPECT_TRUE(ParseCapturedLine("a.exe:1\tSetValue\tHKLM\\X\\v\tSUCCESS\tType: REG_SZ\t").has_value());
    for (const char* status : {"0xC0000022", "success", "SUCCESS ", "", "SUCCESSFUL"}) {
        const auto line = ParseCapturedLine(SetLine("a.exe:1", "HKLM\\X\\v", status));
        ASSERT_TRUE(line.has_value()) << status;
        EXPECT_FALSE(line->Succeeded()) << status;
    }
    EXPECT_EQ(ParseCapturedLine("a.exe:1\tSetValueKey\tHKLM\\X\\v\tSUCCESS\td")->operation,
              CapturedOperation::Other);
    EXPECT_EQ(ParseCapturedLine("a.exe:1\tCreateKey\tHKLM\\X\tSUCCESS\td")->operation,
              CapturedOperation::Other);
}

TEST(CapturedLineParse, ExclusionsAreTheLibrarysExactTests) {
    EXPECT_EQ(track::ExclusionOf("rundll32.exe", "HKLM\\X\\v"), LineExclusion::Process);
    EXPECT_EQ(track::ExclusionOf("rundll32.exe:12", "HKLM\\X\\v"), LineExclusion::None);
    EXPECT_EQ(track::ExclusionOf("RUNDLL32.EXE", "HKLM\\X\\v"), LineExclusion::None);
    EXPECT_EQ(track::ExclusionOf("IRP_MJ_WRITE", "HKLM\\X\\v"), LineExclusion::Process);
    EXPECT_EQ(track::ExclusionOf("x$Mft.exe:3", "HKLM\\X\\v"), LineExclusion::Process);
    EXPECT_EQ(track::ExclusionOf("setup.exe:1", "HKCU\\CLSID\\{x}\\v"), LineExclusion::ClsidPath);
    EXPECT_EQ(track::ExclusionOf("setup.exe:1", "HKCU\\CLSIDX\\v"), LineExclusion::ClsidPath);
    EXPECT_EQ(track::ExclusionOf("setup.exe:1", "HKCU\\Software\\Classes\\CLSID\\{x}\\v"),
              LineExclusion::None);
    EXPECT_EQ(track::ExclusionOf("setup.exe:1", "hkcu\\clsid\\{x}\\v"), LineExclusion::None);
    EXPECT_EQ(track::ExclusionOf("setup.exe:1", "HKCR\\CLSID\\{x}\\v"), LineExclusion::None);
}

// A probe that answers from a table, Gone for anything else.
track::ValueProbe Probe(std::map<std::string, ValueNow> answers = {}) {
    return [answers](const std::string& path) {
        const auto found = answers.find(path);
        return found == answers.end() ? ValueNow::Gone : found->second;
    };
}

std::map<std::string, std::string> Reasons(const TrackResult& result) {
    std::map<std::string, std::string> reasons;
    for (const track::EliminatedValue& value : result.eliminatedRegistry)
        reasons[value.value.path] = value.reason;
    return reasons;
}

TEST(CapturedWrites, TheLastSuccessfulWriterNamesEachReportedValue) {
    CapturedWrites writes;
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\App\\Version"));
    writes.Add(SetLine("child.exe:20", "HKLM\\Software\\APP\\version"));              // the same value
    writes.Add(SetLine("late.exe:30", "HKLM\\Software\\App\\Version", "0xC0000022")); // wrote nothing
    writes.Add(SetLine("setup.exe:10", "HKCU\\Software\\App\\Noise"));
    TrackResult result;
    result.registry = {{"HKLM\\Software\\App\\Version", REG_SZ, "MQA="},
                       {"HKLM\\Software\\App\\Other", REG_SZ, ""}};
    result.eliminatedRegistry = {{{"HKCU\\Software\\App\\Noise", REG_SZ, ""}, "shell state"}};
    ExplainCapturedValues(writes, result, Probe());
    EXPECT_EQ(result.registry[0].process, "child.exe");
    EXPECT_EQ(result.registry[0].processId, 20u);
    EXPECT_EQ(result.registry[1].process, "") << "no captured line names it";
    EXPECT_EQ(result.registry[1].processId, 0u);
    ASSERT_EQ(result.eliminatedRegistry.size(), 1u) << "every captured value is accounted for";
    EXPECT_EQ(result.eliminatedRegistry[0].reason, "shell state");
    EXPECT_EQ(result.eliminatedRegistry[0].value.process, "setup.exe");

    // The driver's writer lines name what the capture's lines left unnamed, and nothing else.
    CapturedWrites writers;
    writers.Add(SetLine("services.exe:640", "HKLM\\SOFTWARE\\APP\\OTHER"));
    writers.Add(SetLine("services.exe:640", "HKLM\\Software\\App\\Version"));
    track::NameUnnamedWriters(writers, result);
    EXPECT_EQ(result.registry[0].process + ":" + std::to_string(result.registry[0].processId),
              "child.exe:20");
    EXPECT_EQ(result.registry[1].process + ":" + std::to_string(result.registry[1].processId),
              "services.exe:640");
    EXPECT_EQ(result.eliminatedRegistry[0].value.process, "setup.exe");

    // A deleted value is in no line: the id its old state gave names it, where that process wrote.
    RegistryValue deleted{"HKLM\\Software\\App\\Gone", REG_SZ, ""}, unknown = deleted;
    deleted.change = unknown.change = track::ValueChange::Deleted;
    deleted.processId = 640;
    unknown.processId = 7;
    result.registry = {deleted, unknown};
    track::NameUnnamedWriters(writers, result);
    EXPECT_EQ(result.registry[0].process, "services.exe");
    EXPECT_EQ(result.registry[1].process + ":" + std::to_string(result.registry[1].processId), ":7");
}

TEST(CapturedWrites, EachDroppedValueIsListedWithWhyInTheOrderOfItsFirstWrite) {
    CapturedWrites writes;
    writes.Add(SetLine("rundll32.exe", "HKLM\\Software\\App\\ByHelper"));
    writes.Add(SetLine("setup.exe:10", "HKCU\\CLSID\\{x}\\InprocServer32\\", "SUCCESS", "REG_EXPAND_SZ"));
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\App\\Old"));
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\App\\Sub\\Deep"));
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\AppX\\Sibling"));
    writes.Add(DeleteLine("setup.exe:10", "HKLM\\Software\\App"));
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\App\\Again")); // after the deletion
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\Kept\\Locked"));
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\Gone\\Value"));
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\Failed\\Value", "0xC0000022"));
    writes.Add("setup.exe:10\tSetValue\tHKLM\\Software\\Torn"); // not a line
    TrackResult result;
    ExplainCapturedValues(writes, result,
                          Probe({{"HKLM\\Software\\Kept\\Locked", ValueNow::Exists},
                                 {"HKLM\\Software\\AppX\\Sibling", ValueNow::Unknown}}));
    std::vector<std::string> order;
    for (const track::EliminatedValue& value : result.eliminatedRegistry)
        order.push_back(value.value.path);
    EXPECT_EQ(order,
              (std::vector<std::string>{"HKLM\\Software\\App\\ByHelper", "HKCU\\CLSID\\{x}\\InprocServer32\\",
                                        "HKLM\\Software\\App\\Old", "HKLM\\Software\\App\\Sub\\Deep",
                                        "HKLM\\Software\\AppX\\Sibling", "HKLM\\Software\\App\\Again",
                                        "HKLM\\Software\\Kept\\Locked", "HKLM\\Software\\Gone\\Value"}));
    const auto reasons = Reasons(result);
    EXPECT_EQ(reasons.at("HKLM\\Software\\App\\ByHelper"),
              "written by rundll32.exe, a process the log leaves out");
    EXPECT_EQ(reasons.at("HKCU\\CLSID\\{x}\\InprocServer32\\"),
              "a value whose path begins with HKCU\\CLSID, which the library leaves out");
    EXPECT_EQ(reasons.at("HKLM\\Software\\App\\Old"), "its key was deleted later in the setup");
    EXPECT_EQ(reasons.at("HKLM\\Software\\App\\Sub\\Deep"),
              "its key was deleted later in the setup, with HKLM\\Software\\App above it");
    // A key named like the first characters of the deleted one is not below it.
    EXPECT_EQ(reasons.at("HKLM\\Software\\AppX\\Sibling"),
              "the value could not be read back when the log was read");
    EXPECT_EQ(
        reasons.at("HKLM\\Software\\App\\Again"),
        "the value could not be read back when the log was read: it no longer exists, and no deletion of "
        "its key was captured");
    EXPECT_EQ(
        reasons.at("HKLM\\Software\\Kept\\Locked"),
        "the value could not be read back when the log was read: it exists now, but the library did not "
        "keep it");
    const track::EliminatedValue& clsid = result.eliminatedRegistry[1];
    EXPECT_EQ(clsid.value.type, static_cast<std::uint32_t>(REG_EXPAND_SZ));
    EXPECT_EQ(clsid.value.process, "setup.exe");
    EXPECT_EQ(clsid.value.processId, 10u);
    EXPECT_EQ(result.eliminatedRegistry[0].value.processId, 0u);
}

TEST(CapturedWrites, OnlyDeletionsTheLibraryKeepsExplainADrop) {
    CapturedWrites writes;
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\A\\v1"));
    writes.Add(DeleteLine("setup.exe:10", "HKLM\\Software\\A", "0xC0000121")); // failed: cancels nothing
    writes.Add(DeleteLine("explorer.exe", "HKLM\\Software\\A"));               // a process left out
    writes.Add(DeleteLine("setup.exe:10", "HKLM\\Software\\a"));               // named otherwise
    writes.Add(SetLine("setup.exe:10", "HKCU\\Software\\B\\v2"));
    writes.Add(DeleteLine("setup.exe:10", "")); // names every key
    TrackResult result;
    ExplainCapturedValues(writes, result, Probe());
    const auto reasons = Reasons(result);
    for (const char* path : {"HKLM\\Software\\A\\v1", "HKCU\\Software\\B\\v2"})
        EXPECT_EQ(reasons.at(path),
                  "its key was deleted later in the setup, by a deletion whose empty path names every key");

    CapturedWrites without;
    without.Add(SetLine("setup.exe:10", "HKLM\\Software\\A\\v1"));
    without.Add(DeleteLine("setup.exe:10", "HKLM\\Software\\A", "0xC0000121"));
    without.Add(DeleteLine("explorer.exe", "HKLM\\Software\\A"));
    without.Add(DeleteLine("setup.exe:10", "HKLM\\Software\\a"));
    TrackResult second;
    ExplainCapturedValues(without, second, Probe());
    EXPECT_NE(Reasons(second).at("HKLM\\Software\\A\\v1").find("no deletion of its key was captured"),
              std::string::npos);
}

TEST(CapturedWrites, ALaterWriteByAnExcludedProcessDoesNotHideAKeptOne) {
    CapturedWrites writes;
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\A\\v"));
    writes.Add(SetLine("svchost.exe", "HKLM\\Software\\A\\v"));
    writes.Add(DeleteLine("setup.exe:10", "HKLM\\Software\\A"));
    TrackResult result;
    ExplainCapturedValues(writes, result, Probe());
    ASSERT_EQ(result.eliminatedRegistry.size(), 1u);
    EXPECT_EQ(result.eliminatedRegistry[0].reason, "its key was deleted later in the setup");
    EXPECT_EQ(result.eliminatedRegistry[0].value.process, "svchost.exe") << "the last writer still names it";
}

TEST(CapturedWrites, ALineNeverHandedToTheDriverIsSaidSo) {
    CapturedWrites writes;
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\A\\v"), false);
    writes.Add(DeleteLine("setup.exe:10", "HKLM\\Software\\B"), false);
    writes.Add(SetLine("setup.exe:10", "HKLM\\Software\\B\\w"));
    TrackResult result;
    ExplainCapturedValues(writes, result, Probe());
    const auto reasons = Reasons(result);
    EXPECT_EQ(reasons.at("HKLM\\Software\\A\\v"), "the log line of its last write could not be handed to the "
                                                  "registry monitor, so the library never read it");
    EXPECT_NE(reasons.at("HKLM\\Software\\B\\w").find("no deletion"), std::string::npos)
        << "an undelivered deletion cancels nothing";
}

TEST(CapturedWrites, KeepsValuesAndKeysUpToItsBoundAndCountsTheRest) {
    CapturedWrites writes(nullptr, 3);
    writes.Add(SetLine("a.exe:1", "HKLM\\X\\1"));
    writes.Add(DeleteLine("a.exe:1", "HKLM\\Y"));
    writes.Add(SetLine("a.exe:1", "HKLM\\X\\2"));
    writes.Add(SetLine("a.exe:1", "HKLM\\X\\3"));
    writes.Add(DeleteLine("a.exe:1", "HKLM\\Z"));
    writes.Add(SetLine("b.exe:2", "HKLM\\X\\1")); // known: still followed
    writes.Add(DeleteLine("a.exe:1", "HKLM\\Y"));
    EXPECT_EQ(writes.values().size(), 2u);
    EXPECT_EQ(writes.linesPastBound(), 2u);
    ASSERT_NE(writes.Find("hklm\\x\\1"), nullptr);
    EXPECT_EQ(writes.Find("hklm\\x\\1")->image, "b.exe");
    EXPECT_EQ(writes.Find("HKLM\\X\\3"), nullptr);
}

TEST(CapturedWrites, LettersFoldOutsideTwoByteCharactersOnly) {
    // 0x81 leads a two-byte character in the code page this test plays: its trail byte 'A' is not a letter.
    CapturedWrites writes([](unsigned char byte) { return byte == 0x81; });
    writes.Add(SetLine("a.exe:1", "HKLM\\X\\\x81"
                                  "A"));
    EXPECT_NE(writes.Find("hklm\\x\\\x81"
                          "A"),
              nullptr);
    EXPECT_EQ(writes.Find("HKLM\\X\\\x81"
                          "a"),
              nullptr);
}

TrackResult ResultWithProcesses() {
    TrackResult result;
    result.registry = {{"HKLM\\Software\\App\\Version", REG_SZ, "MQA="},
                       {"HKLM\\Software\\App\\Other", REG_SZ, "MQA="}};
    for (RegistryValue& value : result.registry)
        value.change = track::ValueChange::New;
    result.registry[0].process = "setup.exe";
    result.registry[0].processId = 1234;
    RegistryValue dropped("HKCU\\CLSID\\{x}\\v", REG_SZ, "");
    dropped.process = "helper.exe";
    result.eliminatedRegistry = {
        {dropped, "a value whose path begins with HKCU\\CLSID, which the library leaves out"}};
    return result;
}

TEST(CapturedWritesReport, TextNamesProcessesOnRequestAndJsonAlways) {
    const TrackResult result = ResultWithProcesses();
    const std::string plain = track::FormatTextReport(result, true);
    EXPECT_EQ(plain.find("pid 1234"), std::string::npos) << plain;
    const std::string text = track::FormatTextReport(result, true, true);
    const auto values = host_tests::ReportSection(text, "Registry values");
    ASSERT_EQ(values.size(), 2u) << text;
    EXPECT_EQ(values[0], "HKLM\\Software\\App\\Version  REG_SZ  \"1\"  [new] (setup.exe, pid 1234)");
    EXPECT_EQ(values[1], "HKLM\\Software\\App\\Other    REG_SZ  \"1\"  [new] (process unknown)");
    const auto eliminated = host_tests::ReportSection(text, "Registry values eliminated as noise");
    EXPECT_EQ(eliminated,
              (std::vector<std::string>{
                  "HKCU\\CLSID\\{x}\\v (helper.exe)",
                  "    a value whose path begins with HKCU\\CLSID, which the library leaves out"}));
    EXPECT_NE(text.find("1 registry value eliminated as noise"), std::string::npos) << text;

    const auto json = json::Parse(track::FormatJsonReport(result));
    ASSERT_TRUE(json.has_value());
    const json::Value& known = (*json)["registry"][0];
    EXPECT_EQ(known["process"].text, "setup.exe");
    EXPECT_EQ(known["processId"].kind, json::Value::Number);
    EXPECT_EQ(known["processId"].text, "1234");
    EXPECT_EQ((*json)["registry"][1]["process"].kind, json::Value::Null);
    EXPECT_EQ((*json)["registry"][1]["processId"].kind, json::Value::Null);
    const json::Value& dropped = (*json)["eliminatedRegistry"][0];
    EXPECT_EQ(dropped["process"].text, "helper.exe");
    EXPECT_EQ(dropped["processId"].kind, json::Value::Null);
    EXPECT_EQ(dropped["reason"].text,
              "a value whose path begins with HKCU\\CLSID, which the library leaves out");
}

// The live registry: a value that is there, one that is gone, and a name that holds backslashes.
TEST(ValueProbe, AnswersFromTheRegistryTryingEverySplitOfTheName) {
    const std::string key = "Software\\OrvaneProbeTest" + std::to_string(::GetCurrentProcessId());
    const std::string data = "x";
    ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "Here", REG_SZ, data.c_str(), 2),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "a\\b", REG_SZ, data.c_str(), 2),
              ERROR_SUCCESS);
    const std::string path = "HKCU\\" + key + "\\";
    EXPECT_EQ(track::ProbeValueNow(path + "Here"), ValueNow::Exists);
    EXPECT_EQ(track::ProbeValueNow("hkcu\\" + key + "\\here"), ValueNow::Exists);
    EXPECT_EQ(track::ProbeValueNow(path + "a\\b"), ValueNow::Exists);
    EXPECT_EQ(track::ProbeValueNow(path + "Missing"), ValueNow::Gone);
    EXPECT_EQ(track::ProbeValueNow(path + "NoKey\\Missing"), ValueNow::Gone);
    EXPECT_EQ(track::ProbeValueNow("HKXX\\Software\\v"), ValueNow::Unknown);
    EXPECT_EQ(track::ProbeValueNow("novalue"), ValueNow::Unknown);
    host_tests::RemoveKey(HKEY_CURRENT_USER, key);
}

} // namespace
