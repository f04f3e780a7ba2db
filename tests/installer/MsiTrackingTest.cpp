// Windows Installer packages, built by wixl from OrvaneTestPackage.wxs, installed with msiexec under
// orvane-track: every value of the package's Registry table is reported with its type and data
// (below Wow6432Node for a 32-bit package on 64-bit Windows), its file is reported, and what msiexec
// keeps for its own bookkeeping is listed apart as noise.
#include "tests/host/HostTestSupport.h"
#include "tests/host/PeerBuild.h"
#include "tests/host/ReportValues.h"
#include "tests/support/TestSupport.h"

#include <shlobj.h>
#include <msi.h>
#include <msiquery.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

namespace {

using host_tests::ExpectedValue;
using test_support::QuoteArgument;

// One of the two packages the source makes; each has its own product code, folder and keys.
struct Package {
    int bits = 32;

    std::string Msi() const {
        return host_tests::BinFolder() + "\\orvane-test-package" + std::to_string(bits) + ".msi";
    }
    std::string Folder() const {
        const bool redirected = bits == 32 && host_tests::OwnBits() == 64;
        return test_support::KnownFolder(redirected ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES) +
               "\\Orvane Test Package " + std::to_string(bits);
    }
    std::string Key() const { return "OrvaneTestPackage" + std::to_string(bits); }
    std::string ProductCode() const {
        return "{6C0D2E52-7F0B-4E3A-9B0E-3F4E2C7A" + std::to_string(bits) + "01}";
    }
};

const char kNotes[] = "Orvane Test Package\r\nA payload file for the Windows Installer tracking tests.\r\n";

// The package's values as written in its source, each as "HKLM" or "HKCU" and its name, with what
// the report must say of it.
std::vector<std::pair<std::string, ExpectedValue>> PackageValues(const Package& package) {
    const std::string machine =
        "HKLM\\" + host_tests::MachineSoftwareKey(package.Key(), package.bits == 32) + "\\";
    const std::string user = "HKCU\\Software\\" + package.Key() + "\\";
    using host_tests::DwordBytes;
    using host_tests::ReportedAs;
    using host_tests::StringBytes;
    auto entry = [](const std::string& key, const char* name, DWORD type, const std::string& bytes) {
        return std::make_pair(key.substr(0, 4) + "\\" + name, ReportedAs(key + name, type, bytes));
    };
    return {
        // A folder property ends in a backslash.
        entry(machine, "InstallDir", REG_SZ, StringBytes(package.Folder() + "\\")),
        entry(machine, "Version", REG_SZ, StringBytes("1.0.0")),
        entry(machine, "Build", REG_DWORD, DwordBytes(3072)),
        entry(machine, "Offset", REG_DWORD, DwordBytes(0xfffffffbu)),
        entry(machine, "LogFile", REG_EXPAND_SZ, StringBytes("%TEMP%\\orvane-test-package.log")),
        entry(machine, "Signature", REG_BINARY, std::string("\x4f\x52\x56\x4d\x01\x02\x03\x04", 8)),
        entry(machine, "Features", REG_MULTI_SZ, host_tests::MultiStringBytes({"core", "extras"})),
        entry(user, "Language", REG_SZ, StringBytes("en-GB")),
        entry(user, "ShowTips", REG_DWORD, DwordBytes(1)),
        entry(user, "Placement", REG_BINARY, std::string("\x0a\x00\x14\x00\x80\x02\xe0\x01", 8)),
    };
}

// The rows of the package's Registry table, as "HKLM\Name" or "HKCU\Name": the list above must
// cover the whole table, so that a value added to the source cannot go unchecked.
std::set<std::string> RegistryTableRows(const std::string& msi) {
    std::set<std::string> rows;
    MSIHANDLE database = 0, view = 0;
    if (::MsiOpenDatabaseA(msi.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS)
        return rows;
    if (::MsiDatabaseOpenViewA(database, "SELECT `Root`, `Name` FROM `Registry`", &view) == ERROR_SUCCESS &&
        ::MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        while (::MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            char name[256] = {};
            DWORD length = sizeof name;
            ::MsiRecordGetStringA(record, 2, name, &length);
            const int root = ::MsiRecordGetInteger(record, 1);
            rows.insert((root == 2   ? "HKLM\\"
                         : root == 1 ? "HKCU\\"
                                     : "root " + std::to_string(root) + "\\") +
                        name);
            ::MsiCloseHandle(record);
        }
    }
    if (view != 0)
        ::MsiCloseHandle(view);
    ::MsiCloseHandle(database);
    return rows;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

host_tests::ProcessResult Msiexec(const std::string& arguments) {
    return host_tests::RunProcess("msiexec.exe " + arguments, 180000);
}

// Why `package` cannot be installed here, or empty.
std::string WhyNotInstallable(const Package& package) {
    if (package.bits == 64 && !host_tests::WindowsIs64Bit())
        return "32-bit Windows installs no 64-bit package";
    if (!test_support::FileExists(package.Msi()))
        return package.Msi() + " is not built: the x86_64 build makes the 64-bit package";
    return std::string();
}

class MsiTracking : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { Remove(); }
    void TearDown() override { Remove(); }
    void Remove() const {
        const Package package{GetParam()};
        if (test_support::FileExists(package.Msi()))
            Msiexec("/x " + QuoteArgument(package.Msi()) + " /qn");
        // Whatever a failed install left behind.
        ::DeleteFileA((package.Folder() + "\\notes.txt").c_str());
        ::RemoveDirectoryA(package.Folder().c_str());
        host_tests::RemoveKey(HKEY_LOCAL_MACHINE, "Software\\" + package.Key());
        host_tests::RemoveKey(HKEY_CURRENT_USER, "Software\\" + package.Key());
    }
};

TEST_P(MsiTracking, ReportsEveryValueOfThePackageAndItsFile) {
    const Package package{GetParam()};
    const std::string why = WhyNotInstallable(package);
    if (!why.empty())
        GTEST_SKIP() << why;
    const auto values = PackageValues(package);
    std::set<std::string> listed;
    std::vector<ExpectedValue> expected;
    for (const auto& [row, value] : values) {
        listed.insert(row);
        expected.push_back(value);
    }
    ASSERT_EQ(RegistryTableRows(package.Msi()), listed) << "the expectations cover the whole Registry table";

    test_support::TempDir dir("track-msi");
    const auto run =
        host_tests::TrackToJson(host_tests::BinFolder() + "\\orvane-track.exe", dir / "msi.json", "",
                                "msiexec.exe /i " + QuoteArgument(package.Msi()) + " /qn", 240000);
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed) << run.process.err;

    const std::string notes = package.Folder() + "\\notes.txt";
    EXPECT_EQ(host_tests::ReadWholeFile(notes), kNotes);
    std::vector<std::string> files;
    for (const json::Value& file : run.report["files"].items)
        files.push_back(file.text);
    // A 64-bit tracker watches the 64-bit program-files folder, not the 32-bit one.
    const bool watched = !(package.bits == 32 && host_tests::OwnBits() == 64);
    EXPECT_EQ(files, watched ? std::vector<std::string>{notes} : std::vector<std::string>{})
        << run.process.out;
    // msiexec keeps a copy of the package below the Windows folder: its bookkeeping, not the product.
    for (const json::Value& file : run.report["eliminatedFiles"].items)
        EXPECT_NE(Lower(file["path"].text).find("\\installer\\"), std::string::npos) << file["path"].text;

    EXPECT_TRUE(host_tests::ReportsExactly(run.report, expected)) << run.process.out;
    EXPECT_EQ(host_tests::CaptureGaps(run.report), "");
    EXPECT_EQ(run.report["registryValuesNotRecorded"].items.size(), 0u);
    // msiexec registers the product under its product code; the report lists that apart, as noise.
    const std::string registration = Lower("\\Uninstall\\" + package.ProductCode() + "\\");
    size_t registrationValues = 0;
    for (const json::Value& value : run.report["eliminatedRegistry"].items) {
        if (Lower(value["path"].text).find(registration) == std::string::npos)
            continue;
        ++registrationValues;
        EXPECT_NE(value["reason"].text, "") << value["path"].text;
    }
    EXPECT_GT(registrationValues, 0u) << "msiexec's registration of the product is listed as noise\n"
                                      << run.process.out;
}

// A package msiexec cannot open, missing or not a database: the tracker passes msiexec's own failure
// on, and reports no value of any test package and no gap.
TEST(MsiTrackingRefused, APackageMsiexecCannotOpenFailsAsItDoesUntracked) {
    test_support::TempDir dir("track-bad-msi");
    const std::string missing = dir / "missing.msi", broken = dir / "broken.msi";
    test_support::WriteTextFile(broken, "not a Windows Installer database");
    for (const std::string& msi : {missing, broken}) {
        const auto untracked = Msiexec("/i " + QuoteArgument(msi) + " /qn");
        ASSERT_TRUE(untracked.finished);
        ASSERT_NE(untracked.exitCode, 0u) << msi;
        const auto run =
            host_tests::TrackToJson(host_tests::BinFolder() + "\\orvane-track.exe", dir / "msi.json",
                                    "--settle-ms 0", "msiexec.exe /i " + QuoteArgument(msi) + " /qn", 240000);
        ASSERT_TRUE(run.process.finished);
        EXPECT_EQ(run.process.exitCode, untracked.exitCode) << msi << "\n" << run.process.err;
        ASSERT_TRUE(run.parsed) << run.process.err;
        for (const json::Value& value : run.report["registry"].items)
            EXPECT_EQ(Lower(value["path"].text).find("orvanetestpackage"), std::string::npos)
                << value["path"].text;
        EXPECT_EQ(host_tests::CaptureGaps(run.report), "") << msi;
    }
}

INSTANTIATE_TEST_SUITE_P(Bitness, MsiTracking, ::testing::Values(32, 64),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "BitPackage";
                         });

} // namespace
