// orvane-track on setups whose registry writes come from a tree of processes (orvane-family-setup):
// children of either bitness, cmd and reg.exe, ShellExecuteEx, a child killed right after it wrote.
// Every value of every process is reported; a process the capture cannot reach is named, and the
// rest of the tree is tracked all the same.
#include "tests/host/HostTestSupport.h"
#include "tests/host/PeerBuild.h"
#include "tests/host/ReportValues.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host_tests::ExpectedValue;
using host_tests::TrackedRun;
using test_support::QuoteArgument;

constexpr char kFamilyKey[] = "OrvaneFamily";

std::string FamilySetup() {
    return host_tests::BinFolder() + "\\orvane-family-setup.exe";
}

std::string PeerFamilySetup() {
    return host_tests::PeerBinFolder() + "\\orvane-family-setup.exe";
}

std::string Tracker() {
    return host_tests::BinFolder() + "\\orvane-track.exe";
}

std::string Bitness(int bits) {
    return std::to_string(bits) + "-bit";
}

// What "write NAME" and "machine NAME" of a family setup of `bits` leave, and what "reg" leaves.
ExpectedValue UserValue(const std::string& name, int bits) {
    return host_tests::ReportedAs(std::string("HKCU\\Software\\") + kFamilyKey + "\\" + name, REG_SZ,
                                  host_tests::StringBytes(Bitness(bits)));
}

ExpectedValue MachineValue(const std::string& name, int bits) {
    return host_tests::ReportedAs("HKLM\\" + host_tests::MachineSoftwareKey(kFamilyKey, bits == 32) + "\\" +
                                      name,
                                  REG_SZ, host_tests::StringBytes(Bitness(bits)));
}

ExpectedValue FromReg() {
    return host_tests::ReportedAs(std::string("HKCU\\Software\\") + kFamilyKey + "\\FromReg", REG_SZ,
                                  host_tests::StringBytes("x"));
}

// The keys the family writes below, in both views: the comparisons leave the rest of the report
// (whatever the system's own programs wrote) alone.
std::vector<std::string> FamilyKeys() {
    return {std::string("HKCU\\Software\\") + kFamilyKey + "\\",
            std::string("HKLM\\Software\\") + kFamilyKey + "\\",
            std::string("HKLM\\Software\\Wow6432Node\\") + kFamilyKey + "\\"};
}

class CaptureTree : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        host_tests::RemoveKey(HKEY_CURRENT_USER, std::string("Software\\") + kFamilyKey);
        host_tests::RemoveKey(HKEY_LOCAL_MACHINE, std::string("Software\\") + kFamilyKey);
    }

    TrackedRun Track(const std::string& setup, const std::string& steps,
                     const std::string& tracker = Tracker()) {
        return host_tests::TrackToJson(tracker, dir_ / "tree.json", "", QuoteArgument(setup) + " " + steps);
    }

    // A tree the capture must see whole: the setup ends well, every family value is reported, and
    // nothing is said to be missing.
    void ExpectWholeTree(const TrackedRun& run, const std::vector<ExpectedValue>& expected) {
        ASSERT_TRUE(run.process.finished);
        ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
        ASSERT_TRUE(run.parsed) << run.process.out << run.process.err;
        EXPECT_TRUE(host_tests::ReportsExactly(run.report, expected, FamilyKeys())) << run.process.out;
        EXPECT_EQ(host_tests::CaptureGaps(run.report), "");
        EXPECT_EQ(run.report["registryValuesNotRecorded"].items.size(), 0u);
        EXPECT_EQ(run.process.err.find("registry capture incomplete"), std::string::npos) << run.process.err;
        EXPECT_EQ(run.process.out.find("Registry warnings"), std::string::npos) << run.process.out;
    }

    test_support::TempDir dir_{"capture-tree"};
};

TEST_F(CaptureTree, EveryProcessOfTheTreeHasItsValuesReported) {
    const int bits = host_tests::OwnBits();
    const std::string self = QuoteArgument(FamilySetup());
    const TrackedRun run =
        Track(FamilySetup(), "write Setup machine Setup reg shell Shell killed Killed child " + self +
                                 " write Child child " + self + " write Grandchild");
    ExpectWholeTree(run, {UserValue("Setup", bits), MachineValue("Setup", bits), FromReg(),
                          UserValue("Shell", bits), UserValue("Killed", bits), UserValue("Child", bits),
                          UserValue("Grandchild", bits)});
}

// Setups often clear an older version's key before they write their own: what they write after
// the deletion is theirs, and only what was there before it goes.
TEST_F(CaptureTree, AValueWrittenAgainAfterItsKeyWasDeletedIsReported) {
    const int bits = host_tests::OwnBits();
    const TrackedRun run = Track(FamilySetup(), "write Old machine Old uninstall write New machine New");
    ExpectWholeTree(run, {UserValue("New", bits), MachineValue("New", bits)});
}

TEST_F(CaptureTree, ASetupOfTheOtherBitnessAndItsChildrenOfBothAreCaptured) {
    const std::string why = host_tests::WhyNoOtherBitness("orvane-family-setup.exe");
    if (!why.empty())
        GTEST_SKIP() << why;
    const int own = host_tests::OwnBits(), other = host_tests::OtherBits();
    const TrackedRun run =
        Track(PeerFamilySetup(), "write Setup machine Setup reg shell Shell killed Killed child " +
                                     QuoteArgument(FamilySetup()) + " write Child machine Child child " +
                                     QuoteArgument(PeerFamilySetup()) + " write Grandchild");
    ExpectWholeTree(run, {UserValue("Setup", other), MachineValue("Setup", other), FromReg(),
                          UserValue("Shell", other), UserValue("Killed", other), UserValue("Child", own),
                          MachineValue("Child", own), UserValue("Grandchild", other)});
}

TEST_F(CaptureTree, AChildOfTheOtherBitnessAndWhatItStartsAreCaptured) {
    const std::string why = host_tests::WhyNoOtherBitness("orvane-family-setup.exe");
    if (!why.empty())
        GTEST_SKIP() << why;
    const int own = host_tests::OwnBits(), other = host_tests::OtherBits();
    const TrackedRun run =
        Track(FamilySetup(), "write Setup child " + QuoteArgument(PeerFamilySetup()) +
                                 " write Child machine Child killed Killed shell Shell reg child " +
                                 QuoteArgument(FamilySetup()) + " write Grandchild");
    ExpectWholeTree(run, {UserValue("Setup", own), UserValue("Child", other), MachineValue("Child", other),
                          UserValue("Killed", other), UserValue("Shell", other), FromReg(),
                          UserValue("Grandchild", own)});
}

// Processes of the tree that bear the names of the system's own helpers: the system's rundll32 as
// an INF install runs it, and a program renamed svchost.exe. The library leaves out lines of those
// names because a log of the whole system is full of them; these are the setup's own, and all their
// values are reported.
TEST_F(CaptureTree, ProcessesNamedAsSystemHelpersHaveTheirValuesReported) {
    const std::string inf = dir_ / "values.inf";
    const std::string infKey = std::string("HKCU,\"Software\\") + kFamilyKey + "\",";
    test_support::WriteTextFile(inf, "[Version]\r\nSignature=\"$Windows NT$\"\r\n"
                                     "[DefaultInstall]\r\nAddReg=Values\r\n"
                                     "[Values]\r\n" +
                                         infKey + "\"FromInf\",0x00000000,\"inf value\"\r\n" + infKey +
                                         "\"InfNumber\",0x00010001,1234\r\n");
    const std::string svchost = dir_ / "svchost.exe";
    ASSERT_TRUE(::CopyFileA(FamilySetup().c_str(), svchost.c_str(), FALSE)) << ::GetLastError();
    const int bits = host_tests::OwnBits();
    const std::string userKey = std::string("HKCU\\Software\\") + kFamilyKey + "\\";
    const TrackedRun run = Track(FamilySetup(), "write Setup inf " + QuoteArgument(inf) + " child " +
                                                    QuoteArgument(svchost) + " write Svchost");
    ExpectWholeTree(
        run, {UserValue("Setup", bits),
              host_tests::ReportedAs(userKey + "FromInf", REG_SZ, host_tests::StringBytes("inf value")),
              host_tests::ReportedAs(userKey + "InfNumber", REG_DWORD, host_tests::DwordBytes(1234)),
              UserValue("Svchost", bits)});
}

// A child that cannot be started was never a process to capture: the setup's failure is passed on,
// its own value is reported, and no gap is claimed.
TEST_F(CaptureTree, AChildThatCannotStartLeavesNoGap) {
    const int bits = host_tests::OwnBits();
    const TrackedRun run = Track(
        FamilySetup(), "write Setup child " + QuoteArgument(dir_ / "no such program.exe") + " write Never");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(run.process.exitCode, 1u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.err;
    EXPECT_TRUE(host_tests::ReportsExactly(run.report, {UserValue("Setup", bits)}, FamilyKeys()));
    EXPECT_EQ(host_tests::CaptureGaps(run.report), "");
}

// A copy of the tracker with its library, in a folder of its own, with the capture files the case
// chooses beside it.
class TrackerCopy {
public:
    explicit TrackerCopy(const std::vector<std::string>& captureFiles) {
        const std::string bin = host_tests::BinFolder();
        for (const char* file :
             {"orvane-track.exe", "Orvane.dll", "Kelmira.dll", "Brannock.dll", "Tavish.dll"})
            EXPECT_TRUE(host_tests::CopyInto(bin + "\\" + file, dir_.path())) << file;
        for (const std::string& file : captureFiles)
            EXPECT_TRUE(host_tests::CopyInto(bin + "\\" + file, dir_.path())) << file;
    }

    std::string Tracker() const { return dir_ / "orvane-track.exe"; }
    std::string operator/(const std::string& name) const { return dir_ / name; }

private:
    test_support::TempDir dir_{"tracker-copy"};
};

std::string OwnCaptureDll() {
    return "orvane-capture" + std::to_string(host_tests::OwnBits()) + ".dll";
}

// The one gap a run reports, checked for the process it names and the file it says is missing, in
// all three places a reader meets it: standard error, the text report and the JSON.
void ExpectOneGap(const TrackedRun& run, const std::string& image, const std::string& missingFile) {
    const auto& gaps = run.report["registryCaptureIncomplete"].items;
    ASSERT_EQ(gaps.size(), 1u) << host_tests::CaptureGaps(run.report) << run.process.err;
    const json::Value& gap = gaps[0];
    EXPECT_EQ(gap["process"].text, image);
    EXPECT_NE(gap["pid"].text, "0");
    EXPECT_NE(gap["reason"].text.find(missingFile), std::string::npos) << gap["reason"].text;
    const std::string line =
        "registry capture incomplete: " + image + " (process " + gap["pid"].text + "): " + gap["reason"].text;
    EXPECT_EQ(gap["message"].text, line);
    EXPECT_EQ(run.report["summary"]["registryCaptureIncomplete"].text, "1");
    EXPECT_NE(run.process.err.find(line), std::string::npos) << run.process.err;
    const auto warnings = host_tests::ReportSection(run.process.out, "Registry warnings");
    EXPECT_EQ(warnings, std::vector<std::string>{line}) << run.process.out;
    EXPECT_NE(run.process.out.find("registry capture incomplete for 1 process;"), std::string::npos)
        << run.process.out;
}

// Without the capture DLL of its own bitness the setup itself cannot be captured: it is named, and
// it still runs to its end under the tracker.
TEST_F(CaptureTree, ASetupTheCaptureCannotReachIsNamedAndStillRuns) {
    const TrackerCopy copy({});
    const TrackedRun run = Track(FamilySetup(), "write Setup", copy.Tracker());
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.err;
    ExpectOneGap(run, "orvane-family-setup.exe", OwnCaptureDll());
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    EXPECT_TRUE(host_tests::ReadRegistryValue(HKEY_CURRENT_USER, std::string("Software\\") + kFamilyKey,
                                              "Setup", type, data))
        << "the setup ran";
}

// Without the other bitness's capture DLL a child of that bitness cannot be captured: it is named,
// and the setup's own values are reported all the same.
TEST_F(CaptureTree, AChildTheCaptureCannotReachIsNamedAndTrackingGoesOn) {
    const std::string why = host_tests::WhyNoOtherBitness("orvane-family-setup.exe");
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string otherInjector = "orvane-inject" + std::to_string(host_tests::OtherBits()) + ".exe";
    const TrackerCopy copy({OwnCaptureDll(), otherInjector});
    // Under a name of its own, so that the gap is seen to name the child and not the setup.
    const std::string child = copy / "orvane-family-child.exe";
    ASSERT_TRUE(::CopyFileA(PeerFamilySetup().c_str(), child.c_str(), FALSE));
    const int own = host_tests::OwnBits();
    const TrackedRun run =
        Track(FamilySetup(), "write Setup machine Setup child " + QuoteArgument(child) + " write Child",
              copy.Tracker());
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.err;
    ExpectOneGap(run, "orvane-family-child.exe",
                 "orvane-capture" + std::to_string(host_tests::OtherBits()) + ".dll");
    EXPECT_TRUE(host_tests::ReportsAll(run.report, {UserValue("Setup", own), MachineValue("Setup", own)}))
        << run.process.out;
}

} // namespace
