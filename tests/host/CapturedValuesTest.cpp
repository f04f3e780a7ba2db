// orvane-track on family setups, held against what their processes wrote: each reported value names
// the process (image and id) that wrote it last, and each value the capture saw that the library
// kept no record of is listed with the reason, in the JSON and under --eliminated in the text.
#include "tests/host/HostTestSupport.h"
#include "tests/host/ReportValues.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using host_tests::TrackedRun;
using test_support::QuoteArgument;

constexpr char kFamilyKey[] = "Software\\OrvaneFamily";
// What the family setup's "clsid" step writes below.
constexpr char kClsidKey[] = "CLSID\\{4F525646-0000-4000-8000-46414D494C59}";

std::string FamilySetup() {
    return host_tests::BinFolder() + "\\orvane-family-setup.exe";
}

std::string Tracker() {
    return host_tests::BinFolder() + "\\orvane-track.exe";
}

std::string UserPath(const std::string& name) {
    return std::string("HKCU\\") + kFamilyKey + "\\" + name;
}

// The report's entry of `list` ("registry", "eliminatedRegistry") at `path`, letter case aside.
const json::Value* Entry(const TrackedRun& run, const char* list, const std::string& path) {
    for (const json::Value& value : run.report[list].items) {
        if (::lstrcmpiA(value["path"].text.c_str(), path.c_str()) == 0)
            return &value;
    }
    return nullptr;
}

// The text report's line for `path` in `section`, and the line after it; empty when it is missing.
std::vector<std::string> TextLines(const TrackedRun& run, const std::string& section,
                                   const std::string& path) {
    const std::vector<std::string> lines = host_tests::ReportSection(run.process.out, section);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() >= path.size() &&
            (lines[i].size() == path.size() || lines[i][path.size()] == ' ') &&
            ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, lines[i].c_str(),
                             static_cast<int>(path.size()), path.c_str(),
                             static_cast<int>(path.size())) == CSTR_EQUAL)
            return {lines[i], i + 1 < lines.size() ? lines[i + 1] : std::string()};
    }
    return {};
}

class CapturedValues : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        host_tests::RemoveKey(HKEY_CURRENT_USER, kFamilyKey);
        host_tests::RemoveKey(HKEY_LOCAL_MACHINE, kFamilyKey);
        host_tests::RemoveKey(HKEY_CURRENT_USER, kClsidKey);
        ::RegDeleteKeyA(HKEY_CURRENT_USER, "CLSID"); // only when the step made it and left it empty
    }

    TrackedRun Track(const std::string& steps) {
        return host_tests::TrackToJson(Tracker(), dir_ / "values.json", "--eliminated --processes",
                                       QuoteArgument(FamilySetup()) + " " + steps);
    }

    test_support::TempDir dir_{"captured-values"};
};

// A value the setup wrote and the library dropped is listed with why it was dropped, in the JSON
// and in the text, with the process that wrote it.
TEST_F(CapturedValues, EachDroppedValueIsListedWithItsReason) {
    const TrackedRun run = Track("write Old uninstall write Setup clsid Clsid write Temp delete Temp");
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.out << run.process.err;
    ASSERT_NE(Entry(run, "registry", UserPath("Setup")), nullptr) << run.process.out;

    const std::string clsidPath = std::string("HKCU\\") + kClsidKey + "\\Clsid";
    const std::string clsidReason =
        "a value whose path begins with HKCU\\CLSID, which the library leaves out";
    const std::string deletedReason = "its key was deleted later in the setup";
    // Deleted with RegDeleteValue, which logs no line; the capture kept that it was not there before.
    const std::string goneReason = "written and deleted again";
    const std::vector<std::pair<std::string, std::string>> dropped = {
        {UserPath("Old"), deletedReason}, {clsidPath, clsidReason}, {UserPath("Temp"), goneReason}};
    for (const auto& [path, reason] : dropped) {
        const json::Value* entry = Entry(run, "eliminatedRegistry", path);
        ASSERT_NE(entry, nullptr) << path << "\n" << run.process.out;
        EXPECT_EQ((*entry)["reason"].text, reason) << path;
        EXPECT_EQ((*entry)["type"].text, "REG_SZ") << path;
        EXPECT_EQ((*entry)["process"].text, "orvane-family-setup.exe") << path;
        EXPECT_EQ(Entry(run, "registry", path), nullptr) << path;

        const std::vector<std::string> text = TextLines(run, "Registry values eliminated as noise", path);
        ASSERT_EQ(text.size(), 2u) << path << "\n" << run.process.out;
        EXPECT_EQ(text[0], (*entry)["path"].text + " (orvane-family-setup.exe, pid " +
                               (*entry)["processId"].text + ")");
        EXPECT_EQ(text[1], "    " + reason);
    }
    EXPECT_EQ(run.report["summary"]["eliminatedRegistryValues"].text,
              std::to_string(run.report["eliminatedRegistry"].items.size()));
}

// Each value names the process that wrote it: the setup, a child under another image name (its
// own id, which the "pid" step writes as the value's data), and reg.exe, started through cmd.
TEST_F(CapturedValues, EachValueNamesTheProcessThatWroteItLast) {
    const std::string child = dir_ / "orvane-family-child.exe";
    ASSERT_TRUE(::CopyFileA(FamilySetup().c_str(), child.c_str(), FALSE)) << ::GetLastError();
    const TrackedRun run = Track("pid Setup reg child " + QuoteArgument(child) + " pid Child write Child2");
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.out << run.process.err;

    const json::Value* setup = Entry(run, "registry", UserPath("Setup"));
    const json::Value* ofChild = Entry(run, "registry", UserPath("Child"));
    const json::Value* byChild = Entry(run, "registry", UserPath("Child2"));
    const json::Value* byReg = Entry(run, "registry", UserPath("FromReg"));
    ASSERT_TRUE(setup && ofChild && byChild && byReg) << run.process.out;
    EXPECT_EQ((*setup)["process"].text, "orvane-family-setup.exe");
    EXPECT_EQ((*setup)["processId"].text, (*setup)["value"].text) << "the setup's own id";
    EXPECT_EQ((*ofChild)["process"].text, "orvane-family-child.exe");
    EXPECT_EQ((*ofChild)["processId"].text, (*ofChild)["value"].text) << "the child's own id";
    EXPECT_NE((*ofChild)["processId"].text, (*setup)["processId"].text);
    EXPECT_EQ((*byChild)["process"].text, "orvane-family-child.exe");
    EXPECT_EQ((*byChild)["processId"].text, (*ofChild)["processId"].text);
    EXPECT_EQ((*byReg)["process"].text, "reg.exe");
    EXPECT_EQ((*byReg)["processId"].kind, json::Value::Number);
    EXPECT_NE((*byReg)["processId"].text, (*setup)["processId"].text);
    EXPECT_NE((*byReg)["processId"].text, (*ofChild)["processId"].text);

    // Every value of the family names a process; with --processes the text says which.
    for (const json::Value& value : run.report["registry"].items) {
        if (!host_tests::IsBelow(value["path"].text, std::string("HKCU\\") + kFamilyKey + "\\"))
            continue;
        EXPECT_EQ(value["process"].kind, json::Value::String) << value["path"].text;
        const std::vector<std::string> text = TextLines(run, "Registry values", value["path"].text);
        ASSERT_FALSE(text.empty()) << value["path"].text << "\n" << run.process.out;
        const std::string suffix = " (" + value["process"].text + ", pid " + value["processId"].text + ")";
        EXPECT_EQ(text[0].substr(text[0].size() - std::min(text[0].size(), suffix.size())), suffix);
    }
}

} // namespace
