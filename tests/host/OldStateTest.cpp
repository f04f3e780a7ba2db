// orvane-track on setups that change what the machine already had, with values and files at the
// bounds of what is kept: a value of 1 MB, a key deleted with 10,000 values below it, a file past
// the size cap. The report gives each one's old state or says why it has none, and the undo script
// puts back exactly what was kept and leaves alone, saying so, what was not.
#include "tests/host/HostTestSupport.h"
#include "tests/host/ReportValues.h"
#include "tests/support/TestSupport.h"

#include "host/track/result/Base64.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host_tests::TrackedRun;
using test_support::QuoteArgument;

constexpr char kFamilyKey[] = "Software\\OrvaneFamily";
constexpr size_t kBigValueBytes = 1024 * 1024;
constexpr int kTreeValues = 10000;
constexpr DWORD kUndoTimeoutMs = 600000;

std::string FamilySetup() {
    return host_tests::BinFolder() + "\\orvane-family-setup.exe";
}

std::string Tracker() {
    return host_tests::BinFolder() + "\\orvane-track.exe";
}

std::vector<std::uint8_t> Pattern(size_t size, unsigned step, unsigned start) {
    std::vector<std::uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * step + start);
    return bytes;
}

void SetValue(const std::string& subKey, const std::string& name, DWORD type,
              const std::vector<std::uint8_t>& data) {
    ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, subKey.c_str(), name.c_str(), type, data.data(),
                                static_cast<DWORD>(data.size())),
              ERROR_SUCCESS)
        << subKey << "\\" << name;
}

// The tree the setup deletes: half its values in the key, half in a subkey.
std::string TreeSubKey(int i) {
    return std::string(kFamilyKey) + (i < kTreeValues / 2 ? "\\Tree" : "\\Tree\\Sub");
}

std::vector<std::uint8_t> TreeData(int i) {
    return Pattern(4 + static_cast<size_t>(i % 5), 3, static_cast<unsigned>(i));
}

void MakeTree() {
    for (int i = 0; i < kTreeValues; ++i)
        SetValue(TreeSubKey(i), "V" + std::to_string(i), REG_BINARY, TreeData(i));
}

// The report's entries whose path starts with `prefix`, case-blind.
std::vector<const json::Value*> ValuesBelow(const json::Value& report, const std::string& prefix) {
    std::vector<const json::Value*> found;
    for (const json::Value& value : report["registry"].items)
        if (value["path"].text.size() >= prefix.size() &&
            ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, value["path"].text.c_str(),
                             static_cast<int>(prefix.size()), prefix.c_str(),
                             static_cast<int>(prefix.size())) == CSTR_EQUAL)
            found.push_back(&value);
    return found;
}

class OldState : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    void Clean() {
        host_tests::RemoveKey(HKEY_CURRENT_USER, kFamilyKey);
        ::DeleteFileA(BigFile().c_str());
    }

    std::string BigFile() const {
        return test_support::KnownFolder(CSIDL_WINDOWS) + "\\orvane-old-state-" +
               std::to_string(::GetCurrentProcessId()) + ".dat";
    }

    TrackedRun Track(const std::string& options, const std::string& steps) {
        return host_tests::TrackToJson(Tracker(), dir_ / "old-state.json",
                                       options + " --uninstall-script " + QuoteArgument(Script()),
                                       QuoteArgument(FamilySetup()) + " " + steps, kUndoTimeoutMs);
    }

    std::string Script() const { return dir_ / "undo.cmd"; }

    host_tests::ProcessResult Undo() {
        return host_tests::RunProcess("cmd.exe /c " + QuoteArgument(Script()), kUndoTimeoutMs);
    }

    test_support::TempDir dir_{"old-state"};
};

TEST_F(OldState, AMegabyteValueAndATreeOfTenThousandValuesComeBackExactly) {
    const std::vector<std::uint8_t> oldBig = Pattern(kBigValueBytes, 13, 5);
    SetValue(kFamilyKey, "Big", REG_BINARY, oldBig);
    MakeTree();

    const TrackedRun run = Track("", "big Big " + std::to_string(kBigValueBytes) + " prune Tree");
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.out << run.process.err;

    const std::vector<const json::Value*> big = ValuesBelow(run.report, "HKCU\\Software\\OrvaneFamily\\Big");
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ((*big[0])["change"].text, "changed");
    const auto keptBig = track::DecodeBase64((*big[0])["before"]["data"].text);
    ASSERT_TRUE(keptBig.has_value());
    EXPECT_TRUE(*keptBig == oldBig) << "the old 1 MB value was not kept exactly";

    const std::vector<const json::Value*> tree =
        ValuesBelow(run.report, "HKCU\\Software\\OrvaneFamily\\Tree\\");
    size_t deleted = 0;
    for (const json::Value* value : tree)
        deleted += (*value)["change"].text == "deleted" ? 1 : 0;
    EXPECT_EQ(deleted, static_cast<size_t>(kTreeValues));
    EXPECT_EQ(run.report["keysDeleted"].items.size(), 2u);

    const host_tests::ProcessResult undone = Undo();
    ASSERT_TRUE(undone.finished);
    EXPECT_EQ(undone.exitCode, 0u) << undone.out.substr(0, 4000) << undone.err;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(host_tests::ReadRegistryValue(HKEY_CURRENT_USER, kFamilyKey, "Big", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_TRUE(data == oldBig) << "the undo did not put the old 1 MB value back exactly";
    int restored = 0;
    for (int i = 0; i < kTreeValues; ++i)
        restored += host_tests::ReadRegistryValue(HKEY_CURRENT_USER, TreeSubKey(i), "V" + std::to_string(i),
                                                  type, data) &&
                            type == REG_BINARY && data == TreeData(i)
                        ? 1
                        : 0;
    EXPECT_EQ(restored, kTreeValues);
}

TEST_F(OldState, AFilePastTheCapIsNamedAndTheUndoLeavesItAlone) {
    const std::vector<std::uint8_t> old = Pattern(2 * 1024 * 1024, 1, 0);
    test_support::WriteTextFile(BigFile(), std::string(old.begin(), old.end()));
    ASSERT_EQ(host_tests::ReadWholeFile(BigFile()).size(), old.size());
    const TrackedRun run = Track("--keep-files-up-to 1", "overwrite " + QuoteArgument(BigFile()));
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.out << run.process.err;

    const json::Value* changed = nullptr;
    for (const json::Value& file : run.report["filesChanged"].items)
        if (::lstrcmpiA(file["path"].text.c_str(), BigFile().c_str()) == 0)
            changed = &file;
    ASSERT_NE(changed, nullptr) << "the overwritten file is not among the changed files";
    EXPECT_FALSE((*changed)["kept"].boolean);
    EXPECT_EQ((*changed)["before"]["size"].text, std::to_string(old.size()));
    EXPECT_NE(run.process.out.find(BigFile()), std::string::npos) << run.process.out;

    const host_tests::ProcessResult undone = Undo();
    ASSERT_TRUE(undone.finished);
    EXPECT_EQ(undone.exitCode, 2u) << undone.out << undone.err;
    EXPECT_NE(undone.out.find("left alone"), std::string::npos) << undone.out;
    EXPECT_EQ(host_tests::ReadWholeFile(BigFile()), "overwritten by the family setup\r\n");
}

} // namespace
