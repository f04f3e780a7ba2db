// A real installer, built by makensis from OrvaneTestInstaller.nsi, tracked by orvane-track during
// its silent install: the result names exactly the files it installs below the watched folders,
// in its new folder below the program-files folder and in folders that existed before (the common
// Programs folder, the system folder), which Wine reports only because the tracker lists them.
#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/host/SampleExpectations.h"
#include "tests/support/TestSupport.h"

#include <knownfolders.h>

#include <gtest/gtest.h>

#include <set>

namespace {

using test_support::QuoteArgument;

std::string InstallFolder() {
    return test_support::KnownFolder(FOLDERID_ProgramFiles) + "\\Orvane Test Product";
}

std::set<std::string> InstalledFiles() {
    const std::string app = InstallFolder();
    return {app + "\\readme.txt",
            app + "\\docs\\guide.txt",
            app + "\\uninstall.exe",
            test_support::KnownFolder(FOLDERID_PublicDesktop) + "\\Orvane Test Product.lnk",
            test_support::KnownFolder(FOLDERID_CommonStartMenu) + "\\Orvane Test Product.lnk",
            test_support::KnownFolder(FOLDERID_CommonPrograms) + "\\Orvane Test Product Guide.lnk",
            test_support::KnownFolder(FOLDERID_System) + "\\orvane-test-product.dat"};
}

class InstallerTracking : public ::testing::Test {
protected:
    void SetUp() override { Remove(); }
    void TearDown() override { Remove(); }
    static void Remove() {
        for (const std::string& path : InstalledFiles())
            ::DeleteFileA(path.c_str());
        test_support::RemoveTree(InstallFolder());
    }
};

TEST_F(InstallerTracking, ReportsExactlyTheFilesTheInstallerInstalls) {
    const std::string installer = host_tests::BinFolder() + "\\orvane-test-installer.exe";
    ASSERT_TRUE(test_support::FileExists(installer)) << "built by the orvane_test_installer target";
    test_support::TempDir dir("track-installer");
    const std::string jsonPath = dir / "installer.json";
    const auto run =
        host_tests::RunProcess(QuoteArgument(host_tests::BinFolder() + "\\orvane-track.exe") + " --json " +
                                   QuoteArgument(jsonPath) + " -- " + QuoteArgument(installer) + " /S",
                               180000);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    for (const std::string& path : InstalledFiles())
        ASSERT_TRUE(test_support::FileExists(path)) << path << " was not installed";

    const auto parsed = json::Parse(host_tests::ReadWholeFile(jsonPath));
    ASSERT_TRUE(parsed.has_value());
    std::set<std::string> reported;
    for (const json::Value& file : (*parsed)["files"].items)
        reported.insert(file.text);
    for (const json::Value& file : (*parsed)["eliminatedFiles"].items)
        reported.insert(file["path"].text);
    EXPECT_EQ(reported, InstalledFiles()) << run.out;
    EXPECT_EQ((*parsed)["eliminatedFiles"].items.size(), 0u) << run.out;
}

// The files a test puts beside the installer's own before it runs: the uninstall script must not
// touch them, nor the folders they and the installer share.
std::vector<std::string> PreExistingFiles() {
    return {test_support::KnownFolder(FOLDERID_PublicDesktop) + "\\kept (1) & 100%!.txt",
            test_support::KnownFolder(FOLDERID_CommonStartMenu) + "\\kept.txt",
            test_support::KnownFolder(FOLDERID_ProgramFiles) + "\\kept beside the product.txt"};
}

std::vector<std::string> PreExistingFolders() {
    char system[MAX_PATH] = {};
    ::GetSystemDirectoryA(system, sizeof system);
    return {test_support::KnownFolder(FOLDERID_PublicDesktop),
            test_support::KnownFolder(FOLDERID_CommonStartMenu),
            test_support::KnownFolder(FOLDERID_CommonPrograms),
            test_support::KnownFolder(FOLDERID_ProgramFiles), system};
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

TEST_F(InstallerTracking, ItsUninstallScriptRemovesWhatItInstalledAndNothingElse) {
    const std::string installer = host_tests::BinFolder() + "\\orvane-test-installer.exe";
    ASSERT_TRUE(test_support::FileExists(installer)) << "built by the orvane_test_installer target";
    for (const std::string& file : PreExistingFiles())
        test_support::WriteTextFile(file, "was here before");
    test_support::TempDir dir("uninstall-installer");
    const std::string jsonPath = dir / "installer.json", scriptPath = dir / "uninstall.cmd";
    const auto run = host_tests::RunProcess(
        QuoteArgument(host_tests::BinFolder() + "\\orvane-track.exe") + " --json " + QuoteArgument(jsonPath) +
            " --uninstall-script " + QuoteArgument(scriptPath) + " -- " + QuoteArgument(installer) + " /S",
        180000);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    const auto parsed = json::Parse(host_tests::ReadWholeFile(jsonPath));
    ASSERT_TRUE(parsed.has_value());
    std::vector<std::string> recorded;
    for (const json::Value& file : (*parsed)["files"].items)
        recorded.push_back(file.text);
    ASSERT_FALSE(recorded.empty());
    const std::string script = host_tests::ReadWholeFile(scriptPath);
    EXPECT_NE(
        script.find("rmdir \"" + InstallFolder() + "\\docs\" 2>nul\r\nrmdir \"" + InstallFolder() + "\""),
        std::string::npos)
        << "the product's folders, deepest first\n"
        << script;

    const auto removal = host_tests::RunProcess("cmd.exe /c " + QuoteArgument(scriptPath), 60000);
    ASSERT_TRUE(removal.finished);
    EXPECT_EQ(removal.exitCode, 0u) << removal.out << removal.err;
    for (const std::string& path : recorded)
        EXPECT_FALSE(test_support::FileExists(path)) << path << " is left\n" << script;
    for (const std::string& path : InstalledFiles())
        EXPECT_FALSE(test_support::FileExists(path)) << path << " is left\n" << script;
    EXPECT_FALSE(IsFolder(InstallFolder())) << "the product's own folder is removed";
    for (const std::string& path : PreExistingFiles()) {
        EXPECT_EQ(host_tests::ReadWholeFile(path), "was here before") << path;
        ::DeleteFileA(path.c_str());
    }
    for (const std::string& folder : PreExistingFolders())
        EXPECT_TRUE(IsFolder(folder)) << folder << " was there before and must stay";
}

} // namespace
