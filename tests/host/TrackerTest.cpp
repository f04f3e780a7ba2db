// orvane-track run as a user runs it, in a folder of its own: with no library, a broken one, or a
// stand-in library that plays back a known result. Covers every documented exit code, --help,
// the reports built from a result, and waiting for every process the setup started.
#include "host/track/result/Base64.h"
#include "host/track/ExitCodes.h"
#include "host/track/run/WinePrime.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/host/TrackerTestModes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

using host_tests::ProcessResult;
using host_tests::ReportSection;
using test_support::QuoteArgument;
using test_support::TempDir;

// A folder holding orvane-track.exe and, as the case needs, a library beside it.
class TrackerFolder {
public:
    enum class Library { None, StandIn, WithoutExports, NotADll };

    explicit TrackerFolder(Library library) : dir_("tracker") {
        const std::string bin = host_tests::BinFolder();
        EXPECT_TRUE(host_tests::CopyInto(bin + "\\orvane-track.exe", dir_.path()));
        // The capture files of the setup's bitness, as an installed tracker has them.
        for (const char* file :
             {"orvane-capture32.dll", "orvane-capture64.dll", "orvane-inject32.exe", "orvane-inject64.exe"})
            host_tests::CopyInto(bin + "\\" + file, dir_.path());
        switch (library) {
        case Library::None:
            break;
        case Library::StandIn:
            EXPECT_TRUE(host_tests::CopyInto(StandInLibraryPath(), dir_.path(), "Orvane.dll"));
            EXPECT_TRUE(host_tests::CopyInto(bin + "\\Kelmira.dll", dir_.path()));
            break;
        case Library::WithoutExports:
            EXPECT_TRUE(host_tests::CopyInto(bin + "\\Kelmira.dll", dir_.path(), "Orvane.dll"));
            break;
        case Library::NotADll:
            test_support::WriteTextFile(dir_ / "Orvane.dll", "this is not a library");
            break;
        }
    }

    ProcessResult Track(const std::string& arguments,
                        const std::map<std::string, std::string>& environment = {}) {
        return host_tests::RunProcess(QuoteArgument(dir_ / "orvane-track.exe") + " " + arguments, 120000,
                                      environment);
    }

    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
};

// A setup that leaves a marker file behind, to tell whether it ran.
std::string MarkerSetup(const std::string& marker) {
    return QuoteArgument(test_support::ThisExecutable()) + " " + kModeTouch + " " + QuoteArgument(marker);
}

std::string OneLine(const std::string& text) {
    const auto lines = host_tests::Lines(text);
    return lines.size() == 1 ? lines[0] : "(" + std::to_string(lines.size()) + " lines) " + text;
}

TEST(Tracker, HelpDocumentsTheCommandWithoutNeedingTheLibrary) {
    TrackerFolder folder(TrackerFolder::Library::None);
    for (const char* option : {"--help", "-h", "/?"}) {
        const ProcessResult run = folder.Track(option);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << option;
        EXPECT_EQ(run.out.rfind("usage: orvane-track [options] -- SETUP [ARGS...]", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("244"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
}

TEST(Tracker, UsageErrorsExitWith240AndOneLine) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const struct {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"", "orvane-track: no setup program given (see orvane-track --help)"},
        {"--eliminated --", "orvane-track: no setup program given (see orvane-track --help)"},
        {"--bogus setup.exe", "orvane-track: unknown option --bogus (see orvane-track --help)"},
        {"--json", "orvane-track: --json needs a value (see orvane-track --help)"},
        {"--settle-ms soon setup.exe",
         "orvane-track: --settle-ms takes milliseconds from 0 to 600000 (see orvane-track --help)"},
    };
    for (const auto& c : cases) {
        const ProcessResult run = folder.Track(c.arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitUsage)) << c.arguments;
        EXPECT_EQ(OneLine(run.err), c.message);
        EXPECT_EQ(run.out, "");
    }
}

TEST(Tracker, ALibraryThatCannotServeExitsWith241BeforeTheSetupRuns) {
    const struct {
        TrackerFolder::Library library;
        const char* messageStart;
    } cases[] = {
        {TrackerFolder::Library::None, "orvane-track: cannot load Orvane.dll (error "},
        {TrackerFolder::Library::NotADll, "orvane-track: cannot load Orvane.dll (error "},
        {TrackerFolder::Library::WithoutExports, "orvane-track: Orvane.dll lacks the IOrvaneInc exports"},
    };
    for (const auto& c : cases) {
        TrackerFolder folder(c.library);
        const std::string marker = folder.dir() / "setup-ran.txt";
        const ProcessResult run = folder.Track("-- " + MarkerSetup(marker));
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitLibraryNotLoadable));
        EXPECT_EQ(OneLine(run.err).rfind(c.messageStart, 0), 0u) << run.err;
        EXPECT_FALSE(test_support::FileExists(marker));
        EXPECT_EQ(run.out, "");
    }
}

TEST(Tracker, ALibraryThatBuildsNoRecorderExitsWith242BeforeTheSetupRuns) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string marker = folder.dir() / "setup-ran.txt";
    const ProcessResult run =
        folder.Track("-- " + MarkerSetup(marker), {{"ORVANE_FAKE_MODE", "no-recorder"}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitRecorderNotCreated));
    EXPECT_EQ(OneLine(run.err), "orvane-track: Orvane.dll could not create a tracking recorder");
    EXPECT_FALSE(test_support::FileExists(marker));
}

// The names in `folder`, sorted: what a run left behind.
std::set<std::string> FolderContents(const std::string& folder) {
    std::set<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = ::FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = entry.cFileName;
        if (name != "." && name != "..")
            names.insert(name);
    } while (::FindNextFileA(find, &entry));
    ::FindClose(find);
    return names;
}

TEST(Tracker, ASetupThatCannotStartExitsWith243AndLeavesNoOutputFile) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string missing = folder.dir() / "no-such-setup.exe";
    const std::string existing = folder.dir() / "old.reg";
    test_support::WriteTextFile(existing, "an earlier run's script");
    const std::set<std::string> before = FolderContents(folder.dir().path());
    const ProcessResult run = folder.Track("--json " + QuoteArgument(folder.dir() / "new.json") + " --html " +
                                           QuoteArgument(folder.dir() / "new.html") + " --reg " +
                                           QuoteArgument(existing) + " -- " + QuoteArgument(missing) + " /S");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitSetupNotStarted));
    EXPECT_EQ(OneLine(run.err), "orvane-track: cannot start the setup " + missing + " (error 2)");
    EXPECT_EQ(run.out, "");
    // Neither a new (empty or partial) file nor a changed old one.
    EXPECT_EQ(FolderContents(folder.dir().path()), before);
    EXPECT_EQ(host_tests::ReadWholeFile(existing), "an earlier run's script");
}

// Under Wine a Linux program starts without a Windows process: there is nothing to track, and what
// CreateProcess leaves behind is no handle of the tracker's to resume or close.
TEST(Tracker, ALinuxProgramIsNoSetupUnderWine) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string unixDir = test_support::UnixPathOf(folder.dir().path());
    if (unixDir.empty())
        GTEST_SKIP() << "Linux programs run only under Wine";
    const std::string mark = folder.dir() / "ran";
    const ProcessResult run = folder.Track("--json " + QuoteArgument(folder.dir() / "report.json") +
                                           " -- /bin/sh -c " + QuoteArgument("touch '" + unixDir + "/ran'"));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitSetupNotStarted));
    EXPECT_EQ(OneLine(run.err), "orvane-track: cannot start the setup /bin/sh (error 193)");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(test_support::FileExists(folder.dir() / "report.json"));
    // Wine has started it all the same; it ran untracked, as the failure says.
    EXPECT_TRUE(test_support::PumpMessagesUntil([&] { return test_support::FileExists(mark); }));
}

TEST(Tracker, AReportFileThatCannotBeWrittenExitsWith244BeforeTheSetupRuns) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string marker = folder.dir() / "setup-ran.txt";
    const std::string aFolder = folder.dir() / "a folder";
    ASSERT_TRUE(::CreateDirectoryA(aFolder.c_str(), nullptr));
    const std::string readOnly = folder.dir() / "read-only.json";
    test_support::WriteTextFile(readOnly, "kept");
    ASSERT_TRUE(::SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    const struct {
        std::string target;
        std::string messageStart;
    } targets[] = {
        {folder.dir() / "missing-folder\\report.out",
         "orvane-track: cannot create " + folder.dir() / "missing-folder\\report.out" + " (error "},
        {aFolder, "orvane-track: cannot create " + aFolder + ": it is a folder"},
        {readOnly, "orvane-track: cannot create " + readOnly + ": the file is read-only"},
        {folder.dir() / "bad<name>.out", "orvane-track: cannot create " + folder.dir() / "bad<name>.out"},
    };
    const std::set<std::string> before = FolderContents(folder.dir().path());
    for (const auto& target : targets) {
        for (const char* option : {"--json", "--reg", "--html"}) {
            const ProcessResult run = folder.Track(std::string(option) + " " + QuoteArgument(target.target) +
                                                   " -- " + MarkerSetup(marker));
            ASSERT_TRUE(run.finished);
            EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitReportNotWritten)) << option;
            EXPECT_EQ(OneLine(run.err).rfind(target.messageStart, 0), 0u) << run.err;
            EXPECT_FALSE(test_support::FileExists(marker));
            EXPECT_EQ(FolderContents(folder.dir().path()), before) << option << " " << target.target;
            EXPECT_EQ(FolderContents(aFolder), std::set<std::string>());
        }
    }
    EXPECT_EQ(host_tests::ReadWholeFile(readOnly), "kept");
    ::SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(Tracker, ExitsWithTheSetupsOwnExitCode) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    for (DWORD code : {0u, 1u, 7u, 1603u, 3010u, 0xC0000005u}) {
        const ProcessResult run =
            folder.Track("--settle-ms 0 -- " + QuoteArgument(test_support::ThisExecutable()) + " " +
                         kModeExitWith + " " + std::to_string(code));
        ASSERT_TRUE(run.finished) << "started " << run.started << ", error " << run.startError;
        EXPECT_EQ(run.exitCode, code);
        EXPECT_NE(run.out.find("; setup exit code " + std::to_string(code) + " after "), std::string::npos)
            << run.out;
    }
}

// The stand-in library plays back this result.
std::string PlaybackFile(const TempDir& dir, const std::string& desktopIni) {
    const std::string path = dir / "playback.txt";
    const std::string lines = "F\tC:\\Program Files\\Sample\\app.exe\n"
                              "F\tC:\\Program Files\\Sample\\data\\a b.dat\n"
                              "E\t" +
                              desktopIni +
                              "\n"
                              "E\tC:\\Program Files\\Sample\\gone.tmp\n"
                              "R\tHKLM\\Software\\Sample\\Version\t1\t" +
                              track::EncodeBase64(host_tests::Bytes(std::string("1.0\0", 4))) +
                              "\n"
                              "R\tHKLM\\Software\\Sample\\Build\t4\tEgQAAA==\n"
                              "R\tHKCU\\Software\\Sample\\Blob\t3\tAf8=\n";
    test_support::WriteTextFile(path, lines);
    return path;
}

// What the setup saved of the store of old state it inherited ("NAME" -> "value").
std::map<std::string, std::string> SavedStore(const std::string& path) {
    std::map<std::string, std::string> values;
    for (const std::string& line : host_tests::Lines(host_tests::ReadWholeFile(path))) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

std::string SaveStoreSetup(const std::string& saved) {
    return QuoteArgument(test_support::ThisExecutable()) + " " + kModeSaveStore + " " + QuoteArgument(saved);
}

TEST(Tracker, TheSetupInheritsAStoreOfOldStateThatGoesWithTheRun) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string playback = folder.dir() / "playback.txt";
    test_support::WriteTextFile(playback, "");
    std::string watched;
    for (const std::string& one : track::WatchedFolders())
        watched += (watched.empty() ? "" : "|") + one;
    char temp[MAX_PATH + 1] = {};
    ASSERT_NE(::GetTempPathA(MAX_PATH + 1, temp), 0u);
    for (const char* cap : {"", "3"}) {
        const std::string saved = folder.dir() / "store.txt";
        const ProcessResult run =
            folder.Track((*cap != 0 ? std::string("--keep-files-up-to ") + cap + " " : std::string()) +
                             "--settle-ms 0 -- " + SaveStoreSetup(saved),
                         {{"ORVANE_FAKE_RESULTS", playback}});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << run.err;
        EXPECT_EQ(run.err.find("old state"), std::string::npos) << run.err;
        const auto store = SavedStore(saved);
        const std::string storeFolder =
            store.count("ORVANE_CAPTURE_STORE") ? store.at("ORVANE_CAPTURE_STORE") : "";
        EXPECT_EQ(storeFolder.rfind(std::string(temp) + "orvane-store-", 0), 0u) << storeFolder;
        EXPECT_EQ(store.count("folder") ? store.at("folder") : "", "yes") << "made before the setup started";
        EXPECT_EQ(store.count("ORVANE_CAPTURE_FOLDERS") ? store.at("ORVANE_CAPTURE_FOLDERS") : "", watched);
        EXPECT_EQ(store.count("ORVANE_CAPTURE_FILE_CAP") ? store.at("ORVANE_CAPTURE_FILE_CAP") : "",
                  *cap != 0 ? "3145728" : "67108864");
        EXPECT_FALSE(test_support::FileExists(storeFolder)) << "a store the tracker made goes with the run";
    }
}

TEST(Tracker, AStoreThatCannotBeMadeIsSaidAndTheRunGoesOn) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string playback = PlaybackFile(folder.dir(), folder.dir() / "desktop.ini");
    const std::string notAFolder = folder.dir() / "a-file";
    test_support::WriteTextFile(notAFolder, "the temporary folder is a file");
    const std::string saved = folder.dir() / "store.txt";
    const ProcessResult run =
        folder.Track("--settle-ms 0 -- " + SaveStoreSetup(saved),
                     {{"ORVANE_FAKE_RESULTS", playback}, {"TMP", notAFolder}, {"TEMP", notAFolder}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    // One line says it (under Wine another says how the existing folders were listed).
    std::vector<std::string> said;
    for (const std::string& line : host_tests::Lines(run.err)) {
        if (line.find("old state") != std::string::npos)
            said.push_back(line);
    }
    ASSERT_EQ(said.size(), 1u) << run.err;
    EXPECT_EQ(said[0].rfind(
                  "orvane-track: old state cannot be kept: the folder " + notAFolder + "\\orvane-store-", 0),
              0u)
        << run.err;
    const std::string tail = "); changed items will be reported with old data unknown";
    ASSERT_GT(said[0].size(), tail.size());
    EXPECT_EQ(said[0].substr(said[0].size() - tail.size()), tail);
    EXPECT_EQ(SavedStore(saved)["ORVANE_CAPTURE_STORE"], "(none)");
    EXPECT_EQ(ReportSection(run.out, "Files added").size(), 2u) << run.out;
    EXPECT_NE(run.out.find("[old data unknown]"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Summary: 2 files added, 3 registry values written"), std::string::npos)
        << run.out;
}

TEST(Tracker, ReportsTheResultAsTextJsonAndRegistryScript) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string desktopIni = folder.dir() / "desktop.ini";
    test_support::WriteTextFile(desktopIni, "[.ShellClassInfo]\r\n");
    const std::string playback = PlaybackFile(folder.dir(), desktopIni);
    const std::string jsonPath = folder.dir() / "result.json", regPath = folder.dir() / "result.reg";
    test_support::WriteTextFile(jsonPath, "an earlier run's report, replaced whole");
    const ProcessResult run =
        folder.Track("--json " + QuoteArgument(jsonPath) + " --reg " + QuoteArgument(regPath) +
                         " --eliminated --settle-ms 0 -- " + QuoteArgument(test_support::ThisExecutable()) +
                         " " + kModeSayHello,
                     {{"ORVANE_FAKE_RESULTS", playback}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;

    // Standard output carries the report alone: the setup's output goes to standard error, and no
    // status line is written when the output is not a terminal.
    EXPECT_EQ(run.out.find("so far"), std::string::npos);
    for (size_t cr = run.out.find('\r'); cr != std::string::npos; cr = run.out.find('\r', cr + 1))
        EXPECT_EQ(run.out[cr + 1], '\n') << "a carriage return that rewrites a line";
    EXPECT_EQ(run.out.find("hello from the setup"), std::string::npos);
    EXPECT_NE(run.err.find("hello from the setup"), std::string::npos) << run.err;
    EXPECT_EQ(ReportSection(run.out, "Files added"),
              (std::vector<std::string>{"C:\\Program Files\\Sample\\app.exe",
                                        "C:\\Program Files\\Sample\\data\\a b.dat"}))
        << run.out;
    EXPECT_EQ(
        ReportSection(run.out, "Files eliminated as noise"),
        (std::vector<std::string>{"C:\\Program Files\\Sample\\gone.tmp",
                                  "    no longer exists, so there is nothing to package", desktopIni,
                                  "    shell view file: Windows writes one for any folder it displays"}));
    const auto registry = ReportSection(run.out, "Registry values");
    ASSERT_EQ(registry.size(), 3u) << run.out;
    EXPECT_NE(run.out.find("HKLM\\Software\\Sample\\Build    REG_DWORD   1042 (0x00000412)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(
        run.out.find("Summary: 2 files added, 3 registry values written, 2 files eliminated as noise; setup "
                     "exit code 0 after "),
        std::string::npos)
        << run.out;

    const auto parsed = json::Parse(host_tests::ReadWholeFile(jsonPath));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ((*parsed)["files"].items.size(), 2u);
    EXPECT_EQ((*parsed)["eliminatedFiles"].items.size(), 2u);
    EXPECT_EQ((*parsed)["registry"].items.size(), 3u);
    EXPECT_EQ((*parsed)["setup"]["exitCode"].text, "0");

    // Only the finished reports are left beside the targets.
    for (const std::string& name : FolderContents(folder.dir().path()))
        EXPECT_EQ(name.find(".partial"), std::string::npos) << name;

    const std::string script = host_tests::ReadWholeFile(regPath);
    const std::string header = "\xff\xfeW\0i\0n\0d\0o\0w\0s\0";
    EXPECT_EQ(script.substr(0, header.size()), std::string(header.data(), header.size()));
}

TEST(Tracker, WaitsForEveryProcessTheSetupStarted) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string playback = folder.dir() / "playback.txt";
    test_support::WriteTextFile(playback, "");
    // The setup starts a helper and ends at once; the helper waits for the setup to end, then adds
    // a file to the result. Only a tracker that waits for the helper too reports that file.
    const ProcessResult run =
        folder.Track("--settle-ms 0 -- " + QuoteArgument(test_support::ThisExecutable()) + " " +
                         kModeSpawnLateWriter + " " + QuoteArgument(playback),
                     {{"ORVANE_FAKE_RESULTS", playback}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(kSpawnerExitCode)) << "the setup's own code, not the helper's";
    EXPECT_EQ(ReportSection(run.out, "Files added"), std::vector<std::string>{kLateFile})
        << run.out << run.err;
}

} // namespace

namespace {

std::string FromWide(UINT codePage, const std::wstring& wide) {
    const int size = ::WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                           0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr,
                          nullptr);
    return text;
}

std::wstring AnsiToWide(const std::string& ansi) {
    const int size = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), size);
    return wide;
}

void CreateWideFile(const std::wstring& path) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid()) << FromWide(CP_UTF8, path);
    DWORD written = 0;
    ::WriteFile(file.get(), "x", 1, &written, nullptr);
}

// Runs `commandLine` through the helper mode in a console of its own and answers what that
// console shows, or the helper's failure.
std::string ShownInNewConsole(const std::string& commandLine, const std::string& capture, DWORD& helperExit) {
    std::string line = QuoteArgument(test_support::ThisExecutable()) + " " + kModeInConsole + " " +
                       QuoteArgument(capture) + " " + QuoteArgument(commandLine);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    helperExit = 1;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                          &startup, &info))
        return std::string();
    UniqueHandle process(info.hProcess), thread(info.hThread);
    if (::WaitForSingleObject(process.get(), 110000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return std::string();
    }
    ::GetExitCodeProcess(process.get(), &helperExit);
    return host_tests::ReadWholeFile(capture);
}

} // namespace

// The library hands out ANSI names: "é" survives in most code pages, "Ω" and "文" do not and come
// as '?' (or a look-alike). The report names the files the setup really made, both in a file or
// pipe (UTF-8) and on a console (wide characters).
TEST(Tracker, ReportsNamesOutsideTheAnsiCodePageByTheirRealNames) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::wstring dir = AnsiToWide(folder.dir().path());
    const std::wstring names[] = {L"caf\u00e9.txt", L"\u03a9mega \u6587 (1) & 100%!.txt"};
    std::string playback;
    std::vector<std::string> expected;
    for (const std::wstring& name : names) {
        CreateWideFile(dir + L"\\" + name);
        playback += "F\t" + FromWide(CP_ACP, dir + L"\\" + name) + "\n";
        expected.push_back(FromWide(CP_UTF8, dir + L"\\" + name));
    }
    EXPECT_NE(AnsiToWide(FromWide(CP_ACP, names[1])), names[1])
        << "the code page " << ::GetACP() << " holds the test's odd name";
    const std::string playbackPath = folder.dir() / "playback.txt";
    test_support::WriteTextFile(playbackPath, playback);
    const std::string jsonPath = folder.dir() / "names.json";
    const std::string setup = QuoteArgument(test_support::ThisExecutable()) + " " + kModeExitWith + " 0";

    const ProcessResult run = folder.Track("--json " + QuoteArgument(jsonPath) + " --settle-ms 0 -- " + setup,
                                           {{"ORVANE_FAKE_RESULTS", playbackPath}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    // In the library's order: by the ANSI names, so '?' comes before 'c'.
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(ReportSection(run.out, "Files added"), expected) << run.out;
    const auto parsed = json::Parse(host_tests::ReadWholeFile(jsonPath));
    ASSERT_TRUE(parsed.has_value());
    std::vector<std::string> jsonFiles;
    for (const json::Value& file : (*parsed)["files"].items)
        jsonFiles.push_back(file.text);
    EXPECT_EQ(jsonFiles, expected);

    // On a console of its own, through the wide console API.
    ::SetEnvironmentVariableA("ORVANE_FAKE_RESULTS", playbackPath.c_str());
    DWORD helperExit = 0;
    const std::string shown =
        ShownInNewConsole(QuoteArgument(folder.dir() / "orvane-track.exe") + " --settle-ms 0 -- " + setup,
                          folder.dir() / "console.txt", helperExit);
    ::SetEnvironmentVariableA("ORVANE_FAKE_RESULTS", nullptr);
    ASSERT_EQ(helperExit, 0u) << "the console helper failed (2: no console, 3: no start, 4: timeout)";
    EXPECT_EQ(ReportSection(shown, "Files added"), expected) << shown;
}

namespace {

TEST(Tracker, APackageFolderInUseOrASetupThatCannotStartLeavesNoPackage) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string marker = folder.dir() / "setup-ran.txt";
    const std::string used = folder.dir() / "used", aFile = folder.dir() / "a-file";
    ASSERT_TRUE(::CreateDirectoryA(used.c_str(), nullptr));
    test_support::WriteTextFile(used + "\\old.txt", "kept");
    test_support::WriteTextFile(aFile, "kept");
    for (const std::string& target : {used, aFile}) {
        const ProcessResult run =
            folder.Track("--package " + QuoteArgument(target) + " -- " + MarkerSetup(marker));
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitReportNotWritten));
        EXPECT_EQ(OneLine(run.err), "orvane-track: cannot make the package in " + target +
                                        ": it exists and is not an empty folder");
        EXPECT_FALSE(test_support::FileExists(marker));
    }
    EXPECT_EQ(host_tests::ReadWholeFile(used + "\\old.txt"), "kept");
    EXPECT_EQ(host_tests::ReadWholeFile(aFile), "kept");

    const std::set<std::string> before = FolderContents(folder.dir().path());
    const ProcessResult run = folder.Track("--package " + QuoteArgument(folder.dir() / "kit") + " -- " +
                                           QuoteArgument(folder.dir() / "no-such-setup.exe"));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(track::kExitSetupNotStarted));
    EXPECT_EQ(FolderContents(folder.dir().path()), before);
}

// The kit of a result with a name outside the ANSI code page: the file copied under its real name,
// and the source naming it in UTF-8.
TEST(Tracker, PackagesFilesUnderTheirRealNames) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    char programFiles[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles)));
    const std::wstring product = AnsiToWide(std::string(programFiles) + "\\Orvane Kit Test");
    const std::wstring file = product + L"\\\u03a9 & 'caf\u00e9' (1).txt";
    ASSERT_TRUE(::CreateDirectoryW(product.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    CreateWideFile(file);
    const std::string playback = folder.dir() / "playback.txt";
    test_support::WriteTextFile(playback, "F\t" + FromWide(CP_ACP, file) + "\n");
    const std::string kit = folder.dir() / "kit";
    const ProcessResult run =
        folder.Track("--package " + QuoteArgument(kit) + " --settle-ms 0 -- " +
                         QuoteArgument(test_support::ThisExecutable()) + " " + kModeExitWith + " 0",
                     {{"ORVANE_FAKE_RESULTS", playback}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    const std::wstring copied =
        AnsiToWide(kit) + L"\\files\\pf\\Orvane Kit Test\\\u03a9 & 'caf\u00e9' (1).txt";
    EXPECT_NE(::GetFileAttributesW(copied.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::string wxs = host_tests::ReadWholeFile(kit + "\\product.wxs");
    EXPECT_NE(wxs.find("Name=\"" + FromWide(CP_UTF8, L"\u03a9 &amp; &apos;caf\u00e9&apos; (1).txt") + "\""),
              std::string::npos)
        << wxs;
    EXPECT_NE(wxs.find("<Directory Id=\"ProgramFiles"), std::string::npos) << wxs;
    EXPECT_TRUE(test_support::FileExists(kit + "\\build-msi.sh"));
    ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(product.c_str());
}

} // namespace

namespace {

std::string UpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The registry script is UTF-16: its ASCII text, for searching.
std::string AsciiOfUtf16(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text += bytes[i + 1] == 0 ? bytes[i] : '?';
    return text;
}

// A key and a value the registry holds in mixed case, which the source hands over upper-cased (as a
// kernel hands key names to the driver's callback), are named in every output as the registry holds
// them; a key that does not exist keeps the spelling it came with.
TEST(Tracker, NamesKeysAndValuesAsTheRegistryHoldsThem) {
    TrackerFolder folder(TrackerFolder::Library::StandIn);
    const std::string parent = "Software\\Orvane Case Test " + std::to_string(::GetCurrentProcessId());
    const std::string key = parent + "\\Mixed Key";
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                                nullptr),
              ERROR_SUCCESS);
    const UniqueKey created(raw);
    ASSERT_EQ(
        ::RegSetValueExA(created.get(), "Mixed Value", 0, REG_SZ, reinterpret_cast<const BYTE*>("data"), 5),
        ERROR_SUCCESS);
    const std::string real = "HKCU\\" + key + "\\Mixed Value";
    const std::string gone = "HKCU\\" + parent + "\\NO SUCH KEY\\A VALUE";
    const std::string data = track::EncodeBase64(host_tests::Bytes(std::string("data\0", 5)));
    const std::string playback = folder.dir() / "playback.txt";
    test_support::WriteTextFile(playback, "R\t" + UpperAscii(real) + "\t1\t" + data + "\nR\t" + gone +
                                              "\t1\t" + data + "\n");
    const std::string json = folder.dir() / "case.json", reg = folder.dir() / "case.reg";
    const std::string script = folder.dir() / "undo.cmd", kit = folder.dir() / "kit";
    const ProcessResult run =
        folder.Track("--json " + QuoteArgument(json) + " --reg " + QuoteArgument(reg) + " --undo-script " +
                         QuoteArgument(script) + " --package " + QuoteArgument(kit) + " --settle-ms 0 -- " +
                         QuoteArgument(test_support::ThisExecutable()) + " " + kModeExitWith + " 0",
                     {{"ORVANE_FAKE_RESULTS", playback}});
    ::RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    ::RegDeleteKeyA(HKEY_CURRENT_USER, parent.c_str());
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0u) << run.err;

    std::set<std::string> reported;
    for (const std::string& line : ReportSection(run.out, "Registry values"))
        reported.insert(line.substr(0, line.find("  ")));
    EXPECT_EQ(reported, (std::set<std::string>{real, gone})) << run.out;
    const auto parsed = json::Parse(host_tests::ReadWholeFile(json));
    ASSERT_TRUE(parsed.has_value());
    std::set<std::string> inJson;
    for (const json::Value& value : (*parsed)["registry"].items)
        inJson.insert(value["path"].text);
    EXPECT_EQ(inJson, (std::set<std::string>{real, gone}));
    const std::string outputs[] = {AsciiOfUtf16(host_tests::ReadWholeFile(reg)),
                                   host_tests::ReadWholeFile(folder.dir() / "undo-undo-plan.txt"),
                                   host_tests::ReadWholeFile(kit + "\\product.wxs")};
    for (const std::string& output : outputs) {
        EXPECT_NE(output.find(key), std::string::npos) << output;
        EXPECT_NE(output.find("Mixed Value"), std::string::npos) << output;
        EXPECT_EQ(output.find(UpperAscii(key)), std::string::npos) << output;
    }
    EXPECT_NE(outputs[0].find("[HKEY_CURRENT_USER\\" + key + "]\r\n\"Mixed Value\"="), std::string::npos)
        << outputs[0];
}

} // namespace
