// A real installer, built by makensis from OrvaneTestInstaller.nsi, tracked by orvane-track during
// its silent install: the result names exactly the files it installs below the watched folders,
// in its new folder below the program-files folder and in folders that existed before (the common
// Programs folder, the system folder), which Wine reports only because the tracker lists them, and
// exactly the registry values it leaves, with their types and data, under the physical keys they
// landed in.
#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/host/PeerBuild.h"
#include "tests/host/ReportValues.h"
#include "tests/host/SampleExpectations.h"
#include "tests/support/TestSupport.h"

#include "common/Wow64.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>

namespace {

using host_tests::ExpectedValue;
using test_support::QuoteArgument;

// Where one build of the installer puts things, as the test names them: the build's own, of the
// test program's bitness, or the peer build's: the 32-bit one, which 64-bit Windows redirects, or
// the 64-bit one, which installs into the native folders that a 32-bit test program (WoW64) would
// otherwise not see.
struct Installer {
    std::string exe;
    bool thirtyTwoBit = false;

    // A 32-bit installer on 64-bit Windows: its files land in the 32-bit folders, physically.
    bool Redirected() const { return thirtyTwoBit && host_tests::WindowsIs64Bit(); }
    // A 64-bit installer seen from a 32-bit test.
    bool Native() const { return !thirtyTwoBit && host_tests::OwnBits() == 32; }
    std::string InstallFolder() const {
        if (Native())
            return NativeProgramFilesFolder() + "\\Orvane Test Product";
        return test_support::KnownFolder(Redirected() ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES) +
               "\\Orvane Test Product";
    }
    // A 64-bit installer's system folder is the native one, which a 32-bit program names the same.
    std::string SystemFolder() const {
        return test_support::KnownFolder(Redirected() ? CSIDL_SYSTEMX86 : CSIDL_SYSTEM);
    }
};

Installer OwnInstaller() {
    return Installer{host_tests::BinFolder() + "\\orvane-test-installer.exe", host_tests::OwnBits() == 32};
}

Installer PeerInstaller() {
    return Installer{host_tests::PeerBinFolder() + "\\orvane-test-installer.exe",
                     host_tests::OwnBits() == 64};
}

// The view in which a physical key path names its key: the 64-bit one wherever there is one.
REGSAM PhysicalView() {
    return host_tests::WindowsIs64Bit() ? KEY_WOW64_64KEY : 0;
}

// Whether a file exists where its path names it on disk, whatever the bitness of the test.
bool ExistsOnDisk(const std::string& path) {
    const Wow64RedirectionOff nativePaths;
    return test_support::FileExists(path);
}

std::set<std::string> InstalledFiles(const Installer& installer) {
    const std::string app = installer.InstallFolder();
    return {app + "\\readme.txt",
            app + "\\docs\\guide.txt",
            app + "\\uninstall.exe",
            test_support::KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + "\\Orvane Test Product.lnk",
            test_support::KnownFolder(CSIDL_COMMON_STARTMENU) + "\\Orvane Test Product.lnk",
            test_support::KnownFolder(CSIDL_COMMON_PROGRAMS) + "\\Orvane Test Product Guide.lnk",
            installer.SystemFolder() + "\\orvane-test-product.dat"};
}

// The files below the folders the tracker watches. A 64-bit tracker watches the 64-bit
// program-files folder, not the 32-bit one, so a 32-bit installer's own folder is not among them.
std::set<std::string> WatchedFiles(const Installer& installer) {
    std::set<std::string> watched = InstalledFiles(installer);
    if (installer.Redirected() && host_tests::OwnBits() == 64) {
        for (auto file = watched.begin(); file != watched.end();)
            file =
                file->rfind(installer.InstallFolder() + "\\", 0) == 0 ? watched.erase(file) : std::next(file);
    }
    return watched;
}

constexpr char kProductKey[] = "OrvaneTestProduct";
constexpr char kUninstallKey[] = "Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneTestProduct";

// The values the installer leaves, written out from its script: the HKLM ones under the physical
// key its bitness reaches.
std::vector<ExpectedValue> InstalledValues(const Installer& installer) {
    const std::string machine = host_tests::MachineSoftwareKey(kProductKey, installer.thirtyTwoBit);
    const std::string uninstall = host_tests::MachineSoftwareKey(kUninstallKey, installer.thirtyTwoBit);
    const std::string user = std::string("Software\\") + kProductKey;
    const std::string app = installer.InstallFolder();
    // Read back by their physical keys, in the 64-bit view where there is one.
    const REGSAM view = PhysicalView();
    auto value = [view](HKEY root, const std::string& key, const char* name, DWORD type, std::string bytes) {
        const std::string rootName = root == HKEY_LOCAL_MACHINE ? "HKLM\\" : "HKCU\\";
        return ExpectedValue{rootName + key + "\\" + name, root, key, name, type, std::move(bytes), view};
    };
    using host_tests::DwordBytes;
    using host_tests::MultiStringBytes;
    using host_tests::StringBytes;
    const HKEY lm = HKEY_LOCAL_MACHINE, cu = HKEY_CURRENT_USER;
    return {
        value(lm, machine, "InstallDir", REG_SZ, StringBytes(app)),
        value(lm, machine, "Version", REG_SZ, StringBytes("1.0.0")),
        value(lm, machine, "Build", REG_DWORD, DwordBytes(2048)),
        value(lm, machine, "LogFile", REG_EXPAND_SZ, StringBytes("%TEMP%\\orvane-test-product.log")),
        value(lm, machine, "Signature", REG_BINARY, std::string("\x4f\x52\x56\x54\x01\xff\x00\x10", 8)),
        value(lm, machine, "Components", REG_MULTI_SZ, MultiStringBytes({"core", "docs"})),
        value(lm, machine, "Registered", REG_NONE, std::string("\x01\x02", 2)),
        value(cu, user, "Language", REG_SZ, StringBytes("en-GB")),
        value(cu, user, "ShowTips", REG_DWORD, DwordBytes(1)),
        value(cu, user, "WindowPlacement", REG_BINARY, std::string("\x0a\x00\x14\x00\x80\x02\xe0\x01", 8)),
        value(cu, user, "Workspace", REG_EXPAND_SZ, StringBytes("%USERPROFILE%\\Orvane Test Product")),
        value(cu, user, "RecentFiles", REG_MULTI_SZ, MultiStringBytes({"readme.txt"})),
        value(lm, uninstall, "DisplayName", REG_SZ, StringBytes("Orvane Test Product")),
        value(lm, uninstall, "DisplayVersion", REG_SZ, StringBytes("1.0.0")),
        value(lm, uninstall, "Publisher", REG_SZ, StringBytes("Orvane")),
        value(lm, uninstall, "InstallLocation", REG_SZ, StringBytes(app)),
        value(lm, uninstall, "UninstallString", REG_SZ, StringBytes("\"" + app + "\\uninstall.exe\"")),
        value(lm, uninstall, "QuietUninstallString", REG_SZ,
              StringBytes("\"" + app + "\\uninstall.exe\" /S")),
        value(lm, uninstall, "NoModify", REG_DWORD, DwordBytes(1)),
        value(lm, uninstall, "NoRepair", REG_DWORD, DwordBytes(1)),
    };
}

// The keys the installer makes and deletes again while it runs: no value below them may be
// reported; each is listed apart, with its key's deletion as the reason. (The value it deletes
// again is one the exact comparison would name.)
std::vector<std::string> TransientKeys(const Installer& installer) {
    const std::string machine =
        "HKLM\\" + host_tests::MachineSoftwareKey(kProductKey, installer.thirtyTwoBit);
    return {machine + "\\Pending\\", std::string("HKCU\\Software\\") + kProductKey + "\\Session\\"};
}

void RemoveInstalled(const Installer& installer) {
    {
        const Wow64RedirectionOff nativePaths;
        for (const std::string& path : InstalledFiles(installer))
            ::DeleteFileA(path.c_str());
    }
    test_support::RemoveTree(installer.InstallFolder());
    host_tests::RemoveKey(HKEY_LOCAL_MACHINE, std::string("Software\\") + kProductKey);
    host_tests::RemoveKey(HKEY_LOCAL_MACHINE, std::string("Software\\") + kUninstallKey);
    host_tests::RemoveKey(HKEY_CURRENT_USER, std::string("Software\\") + kProductKey);
}

class InstallerTracking : public ::testing::Test {
protected:
    void SetUp() override { Remove(); }
    void TearDown() override { Remove(); }
    static void Remove() {
        RemoveInstalled(OwnInstaller());
        if (host_tests::WindowsIs64Bit())
            RemoveInstalled(PeerInstaller());
    }
};

std::set<std::string> ReportedFiles(const json::Value& report) {
    std::set<std::string> reported;
    for (const json::Value& file : report["files"].items)
        reported.insert(file.text);
    for (const json::Value& file : report["eliminatedFiles"].items)
        reported.insert(file["path"].text);
    return reported;
}

void ExpectOnlyListedAsDeleted(const json::Value& report, const std::string& key) {
    for (const json::Value& value : report["registry"].items)
        EXPECT_FALSE(host_tests::IsBelow(value["path"].text, key)) << value["path"].text;
    size_t listed = 0;
    for (const json::Value& value : report["eliminatedRegistry"].items) {
        if (!host_tests::IsBelow(value["path"].text, key))
            continue;
        ++listed;
        EXPECT_EQ(value["reason"].text.rfind("its key was deleted later in the setup", 0), 0u)
            << value["path"].text << ": " << value["reason"].text;
    }
    EXPECT_GT(listed, 0u) << "the values written below " << key << " are listed with why they are missing";
}

// Tracks `installer`'s silent install and checks the report: exactly its files, exactly the values
// it leaves, nothing of what it removed again, nothing missed.
void ExpectExactReport(const Installer& installer, const std::string& jsonPath, const std::string& options) {
    const auto run = host_tests::TrackToJson(host_tests::BinFolder() + "\\orvane-track.exe", jsonPath,
                                             options, QuoteArgument(installer.exe) + " /S", 180000);
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    for (const std::string& path : InstalledFiles(installer))
        ASSERT_TRUE(ExistsOnDisk(path)) << path << " was not installed";
    ASSERT_TRUE(run.parsed) << run.process.err;

    EXPECT_EQ(ReportedFiles(run.report), WatchedFiles(installer)) << run.process.out;
    EXPECT_EQ(run.report["eliminatedFiles"].items.size(), 0u) << run.process.out;
    EXPECT_TRUE(host_tests::ReportsExactly(run.report, InstalledValues(installer))) << run.process.out;
    for (const std::string& key : TransientKeys(installer))
        ExpectOnlyListedAsDeleted(run.report, key);
    // Deleted with DeleteRegValue, which logs no line; the capture kept that it was not there before.
    const std::string scratch = std::string("HKCU\\Software\\") + kProductKey + "\\Scratch";
    const auto& dropped = run.report["eliminatedRegistry"].items;
    const auto entry = std::find_if(dropped.begin(), dropped.end(), [&](const json::Value& value) {
        return ::lstrcmpiA(value["path"].text.c_str(), scratch.c_str()) == 0;
    });
    ASSERT_NE(entry, dropped.end()) << run.process.out;
    EXPECT_EQ((*entry)["reason"].text, "written and deleted again");
    EXPECT_EQ(host_tests::CaptureGaps(run.report), "");
    EXPECT_EQ(run.report["registryValuesNotRecorded"].items.size(), 0u);
}

TEST_F(InstallerTracking, ReportsExactlyTheFilesAndValuesTheInstallerLeaves) {
    const Installer installer = OwnInstaller();
    ASSERT_TRUE(test_support::FileExists(installer.exe)) << "built by the orvane_test_installer target";
    test_support::TempDir dir("track-installer");
    const std::string regPath = dir / "installer.reg";
    ExpectExactReport(installer, dir / "installer.json", "--reg " + QuoteArgument(regPath));
    if (HasFatalFailure())
        return;

    // The registry script puts every value back, with its type and data, once they are gone.
    RemoveInstalled(installer);
    const auto imported = host_tests::RunProcess("reg.exe import " + QuoteArgument(regPath), 60000);
    ASSERT_EQ(imported.exitCode, 0u) << imported.out << imported.err << host_tests::ReadWholeFile(regPath);
    EXPECT_TRUE(host_tests::RegistryHolds(InstalledValues(installer)));
}

// A 32-bit installer on 64-bit Windows, tracked by the 64-bit tracker: its files and values are
// reported where they physically are, below the 32-bit system folder and below Wow6432Node.
TEST_F(InstallerTracking, AThirtyTwoBitInstallerIsReportedWhereTheSystemPutItsFilesAndValues) {
    if (host_tests::OwnBits() == 32)
        GTEST_SKIP() << "the build's own installer is the 32-bit one, tracked by the other cases";
    const std::string why = host_tests::WhyNoOtherBitness("orvane-test-installer.exe");
    if (!why.empty())
        GTEST_SKIP() << why;
    test_support::TempDir dir("track-installer32");
    ExpectExactReport(PeerInstaller(), dir / "installer.json", "");
}

// A 64-bit installer on 64-bit Windows, tracked by the 32-bit tracker (WoW64): its files in the
// native program-files and system folders and its values in the 64-bit HKLM\Software are reported
// as a 64-bit program names them.
TEST_F(InstallerTracking, ASixtyFourBitInstallerIsReportedExactlyByTheThirtyTwoBitTracker) {
    const std::string why = host_tests::WhyNoSixtyFourBitSetupUnderWow64("orvane-test-installer.exe");
    if (!why.empty())
        GTEST_SKIP() << why;
    const Installer installer = PeerInstaller();
    ASSERT_TRUE(installer.Native());
    test_support::TempDir dir("track-installer64");
    ExpectExactReport(installer, dir / "installer.json", "");
}

// The files a test puts beside the installer's own before it runs: the uninstall script must not
// touch them, nor the folders they and the installer share.
std::vector<std::string> PreExistingFiles() {
    return {test_support::KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + "\\kept (1) & 100%!.txt",
            test_support::KnownFolder(CSIDL_COMMON_STARTMENU) + "\\kept.txt",
            test_support::KnownFolder(CSIDL_PROGRAM_FILES) + "\\kept beside the product.txt"};
}

std::vector<std::string> PreExistingFolders() {
    char system[MAX_PATH] = {};
    ::GetSystemDirectoryA(system, sizeof system);
    return {test_support::KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY),
            test_support::KnownFolder(CSIDL_COMMON_STARTMENU),
            test_support::KnownFolder(CSIDL_COMMON_PROGRAMS), test_support::KnownFolder(CSIDL_PROGRAM_FILES),
            system};
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A value that was under the installer's keys before it ran, which the script must leave.
void PutKeptValue(HKEY root, const std::string& key) {
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | PhysicalView(), nullptr,
                                &raw, nullptr),
              ERROR_SUCCESS);
    UniqueKey owned(raw);
    const char kept[] = "was here before";
    ASSERT_EQ(
        ::RegSetValueExA(owned.get(), "Kept", 0, REG_SZ, reinterpret_cast<const BYTE*>(kept), sizeof kept),
        ERROR_SUCCESS);
}

TEST_F(InstallerTracking, ItsUninstallScriptRemovesWhatItInstalledAndNothingElse) {
    const Installer installer = OwnInstaller();
    ASSERT_TRUE(test_support::FileExists(installer.exe)) << "built by the orvane_test_installer target";
    for (const std::string& file : PreExistingFiles())
        test_support::WriteTextFile(file, "was here before");
    const std::string machineKey = host_tests::MachineSoftwareKey(kProductKey, installer.thirtyTwoBit);
    const std::string userKey = std::string("Software\\") + kProductKey;
    PutKeptValue(HKEY_LOCAL_MACHINE, machineKey);
    PutKeptValue(HKEY_CURRENT_USER, userKey);
    test_support::TempDir dir("uninstall-installer");
    const std::string jsonPath = dir / "installer.json", scriptPath = dir / "uninstall.cmd";
    const auto run = host_tests::TrackToJson(host_tests::BinFolder() + "\\orvane-track.exe", jsonPath,
                                             "--uninstall-script " + QuoteArgument(scriptPath),
                                             QuoteArgument(installer.exe) + " /S", 180000);
    ASSERT_TRUE(run.process.finished);
    ASSERT_EQ(run.process.exitCode, 0u) << run.process.out << run.process.err;
    ASSERT_TRUE(run.parsed);
    std::vector<std::string> recorded;
    for (const json::Value& file : run.report["files"].items)
        recorded.push_back(file.text);
    ASSERT_FALSE(recorded.empty());
    const std::string script = host_tests::ReadWholeFile(scriptPath);
    const std::string app = installer.InstallFolder();
    EXPECT_NE(script.find("rem   delete folder \"" + app + "\\docs\" once empty\r\nrem   delete folder \"" +
                          app + "\" once empty\r\n"),
              std::string::npos)
        << "the product's folders, deepest first\n"
        << script;

    const auto removal = host_tests::RunProcess("cmd.exe /c " + QuoteArgument(scriptPath), 60000);
    ASSERT_TRUE(removal.finished);
    EXPECT_EQ(removal.exitCode, 0u) << removal.out << removal.err;
    for (const std::string& path : recorded)
        EXPECT_FALSE(test_support::FileExists(path)) << path << " is left\n" << script;
    for (const std::string& path : InstalledFiles(installer))
        EXPECT_FALSE(test_support::FileExists(path)) << path << " is left\n" << script;
    EXPECT_FALSE(IsFolder(app)) << "the product's own folder is removed";
    for (const ExpectedValue& expected : InstalledValues(installer)) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        EXPECT_FALSE(host_tests::ReadRegistryValue(expected.root, expected.subKey, expected.name, type, data,
                                                   expected.view))
            << expected.path << " is left\n"
            << script;
    }
    for (const std::string& path : PreExistingFiles()) {
        EXPECT_EQ(host_tests::ReadWholeFile(path), "was here before") << path;
        ::DeleteFileA(path.c_str());
    }
    for (const std::string& folder : PreExistingFolders())
        EXPECT_TRUE(IsFolder(folder)) << folder << " was there before and must stay";
    for (const auto& [root, key] :
         {std::make_pair(HKEY_LOCAL_MACHINE, machineKey), std::make_pair(HKEY_CURRENT_USER, userKey)}) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        EXPECT_TRUE(host_tests::ReadRegistryValue(root, key, "Kept", type, data, PhysicalView()))
            << key << " lost a value it had before";
    }
}

} // namespace
