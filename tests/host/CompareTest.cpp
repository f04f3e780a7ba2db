// Two captures compared: the matching of places across machines, what counts as a difference, the
// captures of older JSON, and the refusal of what is not a capture.
#include "host/track/ExitCodes.h"
#include "host/track/TrackOptions.h"
#include "host/track/compare/CompareRun.h"
#include "host/track/compare/Comparison.h"
#include "host/track/compare/JsonDocument.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using test_support::FileExists;
using test_support::TempDir;
using test_support::WriteTextFile;
using track::MatchingForm;

// A capture as orvane-track --json writes one, with only the members a comparison reads.
std::string CaptureJson(const std::string& files, const std::string& registry,
                        const std::string& extra = "") {
    return "{\"setup\": {\"command\": \"setup.exe\", \"exitCode\": 0, \"seconds\": 1.0}, \"files\": [], " +
           files + ", \"registry\": [" + registry + "]" + extra + "}";
}

std::string Value(const std::string& path, const std::string& type, const std::string& value,
                  const std::string& change = "new") {
    return "{\"path\": \"" + path + "\", \"type\": \"" + type +
           "\", \"data\": \"AA==\", \"value\": " + value + ", \"change\": \"" + change +
           "\", \"process\": \"setup.exe\"}";
}

track::Capture Read(const std::string& json) {
    track::Capture capture;
    std::string error;
    EXPECT_TRUE(track::ReadCapture("x.json", json, capture, error)) << error;
    return capture;
}

TEST(Compare, MatchesProfileAndProgramFilesAcrossMachines) {
    EXPECT_EQ(MatchingForm("C:\\Users\\alice\\AppData\\x.ini", false),
              MatchingForm("D:\\users\\BOB\\appdata\\X.INI", false));
    EXPECT_EQ(MatchingForm("C:\\Documents and Settings\\alice\\x", false),
              MatchingForm("C:\\Users\\bob\\x", false));
    EXPECT_EQ(MatchingForm("C:\\Program Files (x86)\\App\\a.exe", false),
              MatchingForm("C:\\Program Files\\App\\a.exe", false));
    EXPECT_NE(MatchingForm("C:\\users\\Public\\Desktop\\a.url", false),
              MatchingForm("C:\\users\\alice\\Desktop\\a.url", false))
        << "the shared profile is the same folder everywhere, not a user's";
    EXPECT_NE(MatchingForm("C:\\windows\\a.dll", false), MatchingForm("C:\\winnt\\a.dll", false));
    EXPECT_EQ(MatchingForm("HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\App\\V", true),
              MatchingForm("HKCU\\software\\app\\v", true));
    EXPECT_EQ(MatchingForm("HKLM\\Software\\Wow6432Node\\App\\V", true),
              MatchingForm("HKLM\\Software\\App\\V", true));
    EXPECT_EQ(track::MatchingData("\"C:\\Program Files (x86)\\App\\a.exe\" /run"),
              track::MatchingData("\"D:\\PROGRAM FILES\\App\\a.exe\" /run"));
    EXPECT_NE(track::MatchingData("Version 1"), track::MatchingData("version 1"))
        << "data is otherwise exact";
}

TEST(Compare, ListsWhatOneHasAndWhatDiffers) {
    const track::Capture a = Read(CaptureJson(
        "\"filesAdded\": [{\"path\": \"C:\\\\Program Files\\\\App\\\\a.dat\", \"facts\": {\"size\": 10}}, "
        "{\"path\": \"C:\\\\Program Files\\\\App\\\\old.dat\", \"facts\": {\"size\": 1}}, "
        "{\"path\": \"C:\\\\Users\\\\alice\\\\same.txt\", \"facts\": {\"size\": 5}}]",
        Value("HKLM\\\\Software\\\\App\\\\Version", "REG_SZ", "\"1.0\"") + ", " +
            Value("HKLM\\\\Software\\\\App\\\\Dir", "REG_SZ", "\"C:\\\\Program Files\\\\App\"") + ", " +
            Value("HKLM\\\\Software\\\\App\\\\Gone", "REG_SZ", "null", "deleted") + ", " +
            Value("HKLM\\\\Software\\\\App\\\\Only", "REG_DWORD", "1")));
    const track::Capture b = Read(CaptureJson(
        "\"filesAdded\": [{\"path\": \"C:\\\\Program Files (x86)\\\\App\\\\A.DAT\", \"facts\": {\"size\": "
        "12}}, "
        "{\"path\": \"C:\\\\Program Files (x86)\\\\App\\\\new.dat\", \"facts\": null}, "
        "{\"path\": \"C:\\\\Users\\\\bob\\\\same.txt\", \"facts\": {\"size\": 5}}]",
        Value("HKLM\\\\Software\\\\Wow6432Node\\\\App\\\\Version", "REG_SZ", "\"2.0\"") + ", " +
            Value("HKLM\\\\Software\\\\Wow6432Node\\\\App\\\\Dir", "REG_SZ",
                  "\"C:\\\\Program Files (x86)\\\\App\"") +
            ", " + Value("HKLM\\\\Software\\\\Wow6432Node\\\\App\\\\Gone", "REG_SZ", "\"back\"")));
    const track::Comparison c = track::CompareCaptures(a, b);
    ASSERT_EQ(c.filesOnlyInA.size(), 1u);
    EXPECT_EQ(c.filesOnlyInA[0].a->path, "C:\\Program Files\\App\\old.dat");
    ASSERT_EQ(c.filesOnlyInB.size(), 1u);
    EXPECT_EQ(track::DescribeFile(*c.filesOnlyInB[0].b), "size unknown");
    ASSERT_EQ(c.filesDiffering.size(), 1u);
    EXPECT_EQ(track::DescribeFile(*c.filesDiffering[0].b), "12 bytes");
    ASSERT_EQ(c.valuesOnlyInA.size(), 1u);
    EXPECT_EQ(track::DescribeValue(*c.valuesOnlyInA[0].a), "REG_DWORD 1");
    ASSERT_EQ(c.valuesDiffering.size(), 2u) << "Dir names the same folder on both; Version and Gone differ";
    EXPECT_EQ(track::DescribeValue(*c.valuesDiffering[1].a), "deleted");
    const std::string text = track::FormatComparisonText(c);
    EXPECT_NE(
        text.find(
            "Registry values that differ (2):\n  HKLM\\Software\\App\\Version\n      A: REG_SZ \"1.0\"\n"
            "      B: REG_SZ \"2.0\"\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("\nSummary: the captures differ: 1 file only in A, 1 only in B, 1 differing; 1 registry "
                  "value only in A, 0 only in B, 2 differing\n"),
        std::string::npos)
        << text;
    EXPECT_TRUE(track::ParseJson(track::FormatComparisonJson(c)).has_value());
    EXPECT_TRUE(track::CompareCaptures(a, a).Same());
}

TEST(Compare, ReadsOlderCapturesAndRefusesWhatIsNoCapture) {
    // Before the JSON carried added files' sizes: names alone, sizes unknown, never a difference.
    const track::Capture old =
        Read("{\"setup\": {\"command\": \"s.exe\"}, \"files\": [\"C:\\\\a.txt\"], \"registry\": []}");
    ASSERT_EQ(old.files.size(), 1u);
    EXPECT_FALSE(old.files[0].sizeKnown);
    for (const std::string& notACapture :
         {std::string("[]"), std::string("{}"), std::string("<html>"),
          std::string("{\"setup\": 1, \"files\": []}"), std::string(100000, '[') + std::string(100000, ']'),
          CaptureJson("\"x\": 1", "") + " trailing"}) {
        track::Capture capture;
        std::string error;
        EXPECT_FALSE(track::ReadCapture("bad.json", notACapture, capture, error))
            << notACapture.substr(0, 40);
        EXPECT_EQ(error.rfind("bad.json is not a capture: ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

TEST(Compare, ExitsWithWhetherTheCapturesMatch) {
    const TempDir dir("cmp");
    WriteTextFile(dir / "a.json", CaptureJson("\"x\": 1", Value("HKCU\\\\A", "REG_SZ", "\"1\"")));
    WriteTextFile(dir / "b.json", CaptureJson("\"x\": 1", Value("HKCU\\\\A", "REG_SZ", "\"2\"")));
    WriteTextFile(dir / "page.html", "<html></html>");
    auto run = [&](const std::vector<std::string>& args, std::string& printed, std::string& failed) {
        const track::ParsedOptions parsed = track::ParseTrackOptions(args);
        EXPECT_EQ(parsed.error, "");
        printed.clear();
        failed.clear();
        return track::RunCompare(
            parsed.options, [&](const std::string& text) { printed += text; },
            [&](const std::string& line) { failed += line + "\n"; });
    };
    std::string printed, failed;
    EXPECT_EQ(run({"--compare", dir / "a.json", dir / "a.json"}, printed, failed), track::kCompareSame);
    EXPECT_NE(printed.find("Summary: the captures match\n"), std::string::npos);
    EXPECT_EQ(
        run({"--compare", dir / "a.json", dir / "b.json", "--html", dir / "c.html", "--json", dir / "c.json"},
            printed, failed),
        track::kCompareDiffer);
    EXPECT_TRUE(FileExists(dir / "c.html") && FileExists(dir / "c.json"));
    EXPECT_EQ(run({"--compare", dir / "a.json", dir / "page.html"}, printed, failed),
              track::kCompareUnreadable);
    EXPECT_EQ(failed, dir / "page.html" + " is not a capture: it is not JSON\n");
    EXPECT_EQ(run({"--compare", dir / "a.json", dir / "missing.json"}, printed, failed),
              track::kCompareUnreadable);

    EXPECT_NE(track::ParseTrackOptions({"--compare", "a.json"}).error, "");
    EXPECT_NE(track::ParseTrackOptions({"--compare", "a", "b", "--reg", "r.reg"}).error, "");
    EXPECT_NE(track::ParseTrackOptions({"--compare", "a", "b", "--", "setup.exe"}).error, "");
    EXPECT_NE(track::ParseTrackOptions({"--undo", "plan", "--compare", "a", "b"}).error, "");
}

} // namespace
