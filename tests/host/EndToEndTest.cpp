// orvane-track with the real Orvane.dll and the stand-in registry driver, on orvane-sample-setup:
// the report, the JSON and the registry script name exactly what the sample installed.
#include "host/track/result/Base64.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/host/PeerBuild.h"
#include "tests/host/ReportValues.h"
#include "tests/host/SampleExpectations.h"
#include "tests/support/TestSupport.h"

#include "common/UniqueHandle.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

using host_tests::ProcessResult;
using host_tests::ReportSection;
using test_support::QuoteArgument;

ProcessResult Track(const std::string& arguments) {
    return host_tests::RunProcess(
        QuoteArgument(host_tests::BinFolder() + "\\orvane-track.exe") + " " + arguments, 180000);
}

std::string SampleSetup() {
    return QuoteArgument(host_tests::BinFolder() + "\\orvane-sample-setup.exe");
}

// Removes whatever the sample installed, also when a test failed halfway.
class SampleTracking : public ::testing::Test {
protected:
    void SetUp() override { Uninstall(); }
    void TearDown() override { Uninstall(); }
    static void Uninstall() { host_tests::RunProcess(SampleSetup() + " --uninstall", 60000); }
};

// The text report's lines for the sample's values: in the library's order (by path, ignoring letter
// case), path and type in padded columns.
std::vector<std::string> SampleRegistryLines(const host_tests::SampleSite& site) {
    struct Row {
        bool machine;
        const char* name;
        const char* type;
        std::string data;
    };
    const std::vector<Row> rows = {
        {false, "Language", "REG_SZ", "\"en-GB\""},
        {false, "ShowTips", "REG_DWORD", "1 (0x00000001)"},
        {false, "WindowPlacement", "REG_BINARY", "0a 00 14 00 80 02 e0 01 (8 bytes)"},
        {true, "Build", "REG_DWORD", "1042 (0x00000412)"},
        {true, "DataSize", "REG_QWORD", "5368709120 (0x0000000140000000)"},
        {true, "Features", "REG_MULTI_SZ", "\"core\", \"help\", \"samples\""},
        {true, "InstallDir", "REG_SZ", "\"" + host_tests::SampleFolder(site) + "\""},
        {true, "LogFile", "REG_EXPAND_SZ", "\"%TEMP%\\orvane-sample.log\""},
        {true, "Signature", "REG_BINARY", "4f 52 56 53 01 00 ff 10 (8 bytes)"},
        {true, "Version", "REG_SZ", "\"1.0.0\""},
    };
    auto pathOf = [&](const Row& row) {
        return (row.machine ? "HKLM\\" + site.machineKey : std::string("HKCU\\Software\\OrvaneSample")) +
               "\\" + row.name;
    };
    size_t width = 0;
    for (const Row& row : rows)
        width = std::max(width, pathOf(row).size());
    std::vector<std::string> lines;
    for (const Row& row : rows) {
        std::string line = pathOf(row);
        line.resize(width + 2, ' ');
        std::string type = row.type;
        type.resize(15, ' ');
        lines.push_back(line + type + row.data);
    }
    return lines;
}

std::set<std::string> Paths(const std::vector<host_tests::ExpectedFile>& files) {
    std::set<std::string> paths;
    for (const auto& file : files)
        paths.insert(file.path);
    return paths;
}

TEST_F(SampleTracking, ReportsExactlyWhatTheSampleInstalled) {
    test_support::TempDir dir("track-sample");
    const std::string jsonPath = dir / "sample.json", regPath = dir / "sample.reg";
    const ProcessResult run = Track("--json " + QuoteArgument(jsonPath) + " --reg " + QuoteArgument(regPath) +
                                    " --eliminated -- " + SampleSetup());
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;

    // The text report: product files, the noise file with its reason, every value decoded.
    const auto files = ReportSection(run.out, "Files added");
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), Paths(host_tests::SampleProductFiles()))
        << run.out;
    EXPECT_EQ(files.size(), host_tests::SampleProductFiles().size());
    const auto noise = ReportSection(run.out, "Files eliminated as noise");
    ASSERT_EQ(noise.size(), 2u) << run.out;
    EXPECT_EQ(noise[0], host_tests::SampleNoiseFiles()[0].path);
    EXPECT_EQ(noise[1], "    shell view file: Windows writes one for any folder it displays");
    auto registry = ReportSection(run.out, "Registry values");
    EXPECT_EQ(registry.size(), host_tests::SampleValues().size()) << run.out;
    // Each line ends in how the value came about: new, where the capture kept what was there before
    // (nothing), else of unknown old data; the same for every value of the sample.
    std::set<std::string> notes;
    for (std::string& line : registry) {
        const size_t note = line.rfind("  [");
        notes.insert(note == std::string::npos ? std::string() : line.substr(note + 2));
        line = line.substr(0, note);
    }
    EXPECT_EQ(registry, SampleRegistryLines(host_tests::OwnSample())) << run.out;
    EXPECT_EQ(notes.size(), 1u) << run.out;
    EXPECT_TRUE(notes.count("[new]") != 0 || notes.count("[old data unknown]") != 0) << run.out;
    // The deleted key's values are not among the values; --eliminated says why they are missing.
    const auto dropped = ReportSection(run.out, "Registry values eliminated as noise");
    for (const char* name : {"Step", "Source"}) {
        const std::string suffix = std::string("\\Pending\\") + name;
        const auto line = std::find_if(dropped.begin(), dropped.end(), [&](const std::string& text) {
            return text.size() > suffix.size() &&
                   text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
        });
        ASSERT_NE(line, dropped.end()) << name << "\n" << run.out;
        ASSERT_NE(line + 1, dropped.end());
        // The library may keep them while the key is there and so read them back, or drop them.
        EXPECT_TRUE(line[1] == "    its key was deleted later in the setup" ||
                    line[1] == "    written and deleted again")
            << line[1];
    }
    EXPECT_NE(
        // The shell's own cache writes, which the capture sees too, may follow as noise values.
        run.out.find("Summary: 6 files added, 10 registry values written, 1 file eliminated as noise"),
        std::string::npos)
        << run.out;

    // The JSON: the same files, and every value with its type and exact bytes.
    const auto parsed = json::Parse(host_tests::ReadWholeFile(jsonPath));
    ASSERT_TRUE(parsed.has_value());
    std::set<std::string> jsonFiles;
    for (const json::Value& file : (*parsed)["files"].items)
        jsonFiles.insert(file.text); // the sample's paths are ASCII, so UTF-8 equals ANSI here
    EXPECT_EQ(jsonFiles, Paths(host_tests::SampleProductFiles()));
    std::map<std::string, std::pair<std::string, std::string>> jsonValues;
    for (const json::Value& value : (*parsed)["registry"].items)
        jsonValues[value["path"].text] = {value["typeCode"].text, value["data"].text};
    ASSERT_EQ(jsonValues.size(), host_tests::SampleValues().size());
    for (const auto& expected : host_tests::SampleValues()) {
        const auto found = jsonValues.find(expected.path);
        ASSERT_NE(found, jsonValues.end()) << expected.path;
        EXPECT_EQ(found->second.first, std::to_string(expected.type)) << expected.path;
        EXPECT_EQ(found->second.second, track::EncodeBase64(host_tests::Bytes(expected.bytes)))
            << expected.path;
    }

    // The registry script puts the values back after an uninstall.
    Uninstall();
    const ProcessResult imported = host_tests::RunProcess("reg.exe import " + QuoteArgument(regPath), 60000);
    ASSERT_EQ(imported.exitCode, 0u) << imported.out << imported.err;
    EXPECT_TRUE(host_tests::RegistryHolds(host_tests::SampleValues()));
}

// The undo script of the sample's run takes out its files, its emptied folder and its ten values;
// a value that was under its key before, and a file beside its desktop shortcut, stay. Its program
// folder goes too: desktop.ini, which the report calls noise, is one the setup made, so the undo
// takes it as well.
TEST_F(SampleTracking, ItsUninstallScriptRemovesWhatItInstalledAndNothingElse) {
    const std::string key = host_tests::SampleKeyBelowRoot();
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                                nullptr),
              ERROR_SUCCESS);
    {
        UniqueKey owned(raw);
        const char kept[] = "was here before";
        ASSERT_EQ(::RegSetValueExA(owned.get(), "Kept", 0, REG_SZ, reinterpret_cast<const BYTE*>(kept),
                                   sizeof kept),
                  ERROR_SUCCESS);
    }
    const std::string keptFile = test_support::KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + "\\kept.txt";
    test_support::WriteTextFile(keptFile, "was here before");
    test_support::TempDir dir("uninstall-sample");
    const std::string scriptPath = dir / "uninstall.cmd";
    const ProcessResult run =
        Track("--uninstall-script " + QuoteArgument(scriptPath) + " -- " + SampleSetup());
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;

    const auto removal = host_tests::RunProcess("cmd.exe /c " + QuoteArgument(scriptPath), 60000);
    ASSERT_TRUE(removal.finished);
    EXPECT_EQ(removal.exitCode, 0u) << removal.out << removal.err;
    const std::string script = host_tests::ReadWholeFile(scriptPath);
    for (const auto& file : host_tests::SampleProductFiles())
        EXPECT_FALSE(test_support::FileExists(file.path)) << file.path << "\n" << script;
    EXPECT_FALSE(test_support::FileExists(host_tests::SampleFolder() + "\\data")) << script;
    EXPECT_FALSE(test_support::FileExists(host_tests::SampleNoiseFiles()[0].path)) << "the setup made it";
    EXPECT_FALSE(test_support::FileExists(host_tests::SampleFolder())) << removal.out;
    for (const auto& expected : host_tests::SampleValues()) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        EXPECT_FALSE(host_tests::ReadRegistryValue(expected.root, expected.subKey, expected.name, type, data))
            << expected.path << "\n"
            << script;
    }
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    EXPECT_TRUE(host_tests::ReadRegistryValue(HKEY_LOCAL_MACHINE, key, "Kept", type, data));
    EXPECT_EQ(host_tests::ReadWholeFile(keptFile), "was here before");
    ::DeleteFileA(keptFile.c_str());
}

// On 64-bit Windows the 32-bit tracker records a 64-bit setup as completely as one of its own
// bitness: the files it installs in the native program-files folder, and its values in the 64-bit
// HKLM\Software, under the names a 64-bit program gives them.
TEST_F(SampleTracking, ASixtyFourBitSampleIsRecordedExactlyByTheThirtyTwoBitTracker) {
    const std::string why = host_tests::WhyNoSixtyFourBitSetupUnderWow64("orvane-sample-setup.exe");
    if (!why.empty())
        GTEST_SKIP() << why;
    const host_tests::SampleSite site = host_tests::NativeSampleUnderWow64();
    ASSERT_FALSE(site.programFiles.empty()) << "no native program-files folder under WoW64";
    const std::string setup = QuoteArgument(host_tests::PeerBinFolder() + "\\orvane-sample-setup.exe");
    struct Uninstaller {
        std::string setup;
        void Run() const { host_tests::RunProcess(setup + " --uninstall", 60000); }
        ~Uninstaller() { Run(); }
    } const uninstaller{setup};
    uninstaller.Run();

    test_support::TempDir dir("track-sample64");
    const auto run = host_tests::TrackToJson(host_tests::BinFolder() + "\\orvane-track.exe",
                                             dir / "sample64.json", "--eliminated", setup);
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.err;
    std::set<std::string> reported;
    for (const json::Value& file : run.report["files"].items)
        reported.insert(file.text);
    EXPECT_EQ(reported, Paths(host_tests::SampleProductFiles(site))) << run.process.out;
    std::set<std::string> noise;
    for (const json::Value& file : run.report["eliminatedFiles"].items)
        noise.insert(file["path"].text);
    EXPECT_EQ(noise, Paths(host_tests::SampleNoiseFiles(site))) << run.process.out;
    EXPECT_TRUE(host_tests::ReportsExactly(run.report, host_tests::SampleValues(site))) << run.process.out;
    EXPECT_TRUE(host_tests::RegistryHolds(host_tests::SampleValues(site)));
    EXPECT_EQ(host_tests::CaptureGaps(run.report), "");
}

TEST_F(SampleTracking, PassesTheSetupsExitCodeThroughWithTheRealLibrary) {
    const ProcessResult run = Track("--settle-ms 0 -- cmd.exe /c exit 7");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 7u) << run.err;
    EXPECT_NE(run.out.find("Summary: 0 files added, 0 registry values written; setup exit code 7"),
              std::string::npos)
        << run.out;
}

} // namespace
