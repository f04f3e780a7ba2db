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

using testing_support::QuoteArgument;

std::string InstallFolder() {
    return testing_support::KnownFolder(FOLDERID_ProgramFiles) + "\\Orvane Test Product";
}

std::set<std::string> InstalledFiles() {
    const std::string app = InstallFolder();
    return {app + "\\readme.txt",
            app + "\\docs\\guide.txt",
            app + "\\uninstall.exe",
            testing_support::KnownFolder(FOLDERID_PublicDesktop) + "\\Orvane Test Product.lnk",
            testing_support::KnownFolder(FOLDERID_CommonStartMenu) + "\\Orvane Test Product.lnk",
            testing_support::KnownFolder(FOLDERID_CommonPrograms) + "\\Orvane Test Product Guide.lnk",
            testing_support::KnownFolder(FOLDERID_System) + "\\orvane-test-product.dat"};
}

class InstallerTracking : public ::testing::Test {
protected:
    void SetUp() override { Remove(); }
    void TearDown() override { Remove(); }
    static void Remove() {
        for (const std::string& path : InstalledFiles())
            ::DeleteFileA(path.c_str());
        testing_support::RemoveTree(InstallFolder());
    }
};

TEST_F(InstallerTracking, ReportsExactlyTheFilesTheInstallerInstalls) {
    const std::string installer = host_tests::BinFolder() + "\\orvane-test-installer.exe";
    ASSERT_TRUE(testing_support::FileExists(installer)) << "built by the orvane_test_installer target";
    testing_support::TempDir dir("track-installer");
    const std::string jsonPath = dir / "installer.json";
    const auto run =
        host_tests::RunProcess(QuoteArgument(host_tests::BinFolder() + "\\orvane-track.exe") + " --json " +
                                   QuoteArgument(jsonPath) + " -- " + QuoteArgument(installer) + " /S",
                               180000);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    for (const std::string& path : InstalledFiles())
        ASSERT_TRUE(testing_support::FileExists(path)) << path << " was not installed";

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

} // namespace
