// File results of the tracking recorder, driven through the exported interface as a host drives it:
// create, Start, let things happen while pumping messages, Stop, read the settled set.
#include "tests/recorder/TrackingSupport.h"

#include <gtest/gtest.h>

#include <memory>

using test_support::WriteTextFile;
using namespace recorder_tests;

namespace {

bool Rename(const std::string& from, const std::string& to) {
    return ::MoveFileA(from.c_str(), to.c_str()) != 0;
}

class FileTracking : public testing::Test {
protected:
    Recorder recorder;
};

TEST_F(FileTracking, CreatedFileIsReportedWithItsFullPath) {
    recorder->Start();
    TempDir app(ProgramFilesFolder(), "app");
    ::CreateDirectoryA((app / "bin").c_str(), nullptr);
    WriteTextFile(app / "bin\\tool.exe", "x");
    CreateAndAwait(recorder, app / "readme.txt");
    recorder->Stop();

    EXPECT_TRUE(recorder.Has(app / "bin\\tool.exe"));
    EXPECT_TRUE(recorder.Has(app / "readme.txt"));
    EXPECT_FALSE(recorder.Has(app.path())) << "folders are not files";
    EXPECT_FALSE(recorder.Has(app / "bin")) << "folders are not files";
}

TEST_F(FileTracking, FilesThatWentAwayDuringTrackingAreNotReported) {
    recorder->Start();
    TempDir app(ProgramFilesFolder(), "gone");
    WriteTextFile(app / "temp.tmp", "x");
    ::DeleteFileA((app / "temp.tmp").c_str());
    WriteTextFile(app / "again.dat", "x");
    ::DeleteFileA((app / "again.dat").c_str());
    WriteTextFile(app / "again.dat", "y");
    CreateAndAwait(recorder, app / "sentinel.txt");
    recorder->Stop();

    EXPECT_FALSE(recorder.Has(app / "temp.tmp"));
    EXPECT_FALSE(recorder.Has(app / "again.dat")) << "removed then created again is not reported";
    EXPECT_TRUE(recorder.Has(app / "sentinel.txt"));
}

TEST_F(FileTracking, RenamesReportOnlyTheFinalName) {
    // A file that existed before tracking, directly in the watched folder.
    const std::string programFiles = ProgramFilesFolder();
    const std::string before =
        programFiles + "\\orvane-before-" + std::to_string(::GetCurrentProcessId()) + ".txt";
    const std::string after = before + ".renamed";
    WriteTextFile(before, "x");

    recorder->Start();
    TempDir app(programFiles, "ren");
    WriteTextFile(app / "a.txt", "x");
    ASSERT_TRUE(Rename(app / "a.txt", app / "b.txt"));
    WriteTextFile(app / "c.txt", "x");
    ASSERT_TRUE(Rename(app / "c.txt", app / "d.txt"));
    ASSERT_TRUE(Rename(app / "d.txt", app / "c.txt"));
    ASSERT_TRUE(Rename(before, after));
    CreateAndAwait(recorder, app / "sentinel.txt");
    ASSERT_TRUE(recorder.WaitUntilSeen(after));
    recorder->Stop();
    ::DeleteFileA(after.c_str());

    EXPECT_FALSE(recorder.Has(app / "a.txt"));
    EXPECT_TRUE(recorder.Has(app / "b.txt"));
    EXPECT_FALSE(recorder.Has(app / "c.txt")) << "renamed away and back: the name went away once";
    EXPECT_FALSE(recorder.Has(app / "d.txt"));
    EXPECT_TRUE(recorder.Has(after)) << "a pre-existing file renamed is reported under its new name";
    EXPECT_FALSE(recorder.Has(before));
}

TEST_F(FileTracking, InstallerDriverCacheIsLeftOutInItsExactLetterCaseOnly) {
    recorder->Start();
    // Two parents: the file system folds letter case, so both spellings cannot share one.
    TempDir exact(ProgramFilesFolder(), "isdrv");
    TempDir folded(ProgramFilesFolder(), "isdrv-case");
    const char* const exactChain[] = {"InstallShield", "InstallShield\\Driver", "InstallShield\\Driver\\8",
                                      "InstallShield\\Driver\\8\\Intel 32"};
    const char* const foldedChain[] = {"installshield", "installshield\\driver", "installshield\\driver\\8",
                                       "installshield\\driver\\8\\intel 32"};
    for (const char* folder : exactChain)
        ::CreateDirectoryA((exact / folder).c_str(), nullptr);
    for (const char* folder : foldedChain)
        ::CreateDirectoryA((folded / folder).c_str(), nullptr);
    WriteTextFile(exact / "InstallShield\\Driver\\8\\Intel 32\\idriver.exe", "x");
    CreateAndAwait(recorder, exact / "sentinel.txt");
    CreateAndAwait(recorder, folded / "installshield\\driver\\8\\intel 32\\other.exe");
    ASSERT_TRUE(recorder.Has(exact / "InstallShield\\Driver\\8\\Intel 32\\idriver.exe"))
        << "reported while tracking";
    recorder->Stop();

    EXPECT_FALSE(recorder.Has(exact / "InstallShield\\Driver\\8\\Intel 32\\idriver.exe"));
    EXPECT_TRUE(recorder.Has(folded / "installshield\\driver\\8\\intel 32\\other.exe"));
}

TEST_F(FileTracking, WritingToAnExistingFileIsNotReported) {
    const std::string existing =
        ProgramFilesFolder() + "\\orvane-existing-" + std::to_string(::GetCurrentProcessId()) + ".txt";
    WriteTextFile(existing, "old");
    recorder->Start();
    WriteTextFile(existing, "new contents");
    TempDir app(ProgramFilesFolder(), "write");
    CreateAndAwait(recorder, app / "sentinel.txt");
    recorder->Stop();
    ::DeleteFileA(existing.c_str());
    EXPECT_FALSE(recorder.Has(existing));
}

TEST_F(FileTracking, ResultsDuringTrackingAreUnsettled) {
    recorder->Start();
    TempDir app(ProgramFilesFolder(), "unsettled");
    CreateAndAwait(recorder, app / "short-lived.tmp");
    ::DeleteFileA((app / "short-lived.tmp").c_str());
    CreateAndAwait(recorder, app / "sentinel.txt");
    EXPECT_TRUE(recorder.Has(app / "short-lived.tmp")) << "read before Stop: every path added so far";
    recorder->Stop();
    EXPECT_FALSE(recorder.Has(app / "short-lived.tmp"));
}

TEST_F(FileTracking, StopWithoutStartAndStopTwice) {
    recorder->Stop();
    EXPECT_TRUE(recorder->GetFileChanges().empty());

    recorder->Start();
    TempDir app(ProgramFilesFolder(), "twice");
    CreateAndAwait(recorder, app / "kept.txt");
    recorder->Stop();
    const std::set<std::string> first = recorder->GetFileChanges();
    recorder->Stop();
    EXPECT_EQ(recorder->GetFileChanges(), first);
    EXPECT_TRUE(recorder.Has(app / "kept.txt"));
}

TEST_F(FileTracking, ResultsAccumulateOverSeveralSpans) {
    recorder->Start();
    TempDir first(ProgramFilesFolder(), "first");
    CreateAndAwait(recorder, first / "one.txt");
    CreateAndAwait(recorder, first / "two.txt");
    recorder->Stop();

    recorder->Start();
    TempDir second(ProgramFilesFolder(), "second");
    ::DeleteFileA((first / "two.txt").c_str());
    CreateAndAwait(recorder, second / "three.txt");
    recorder->SetTarget(42, "any target");
    recorder->Stop();

    EXPECT_TRUE(recorder.Has(first / "one.txt"));
    EXPECT_TRUE(recorder.Has(second / "three.txt"));
    // first\ already existed when the second span started, and Wine reports nothing inside folders
    // that predate a watch: whether two.txt's removal is seen depends on the platform, so it is not
    // asserted either way.
}

TEST_F(FileTracking, CommonDesktopIsWatchedToo) {
    recorder->Start();
    const std::string file =
        CommonDesktopFolder() + "\\orvane-" + std::to_string(::GetCurrentProcessId()) + ".lnk";
    CreateAndAwait(recorder, file);
    recorder->Stop();
    ::DeleteFileA(file.c_str());
    EXPECT_TRUE(recorder.Has(file));
}

TEST(TrackingLifetime, DestroyingARecorderThatIsStillTrackingEndsItsWatches) {
    auto recorder = std::make_unique<Recorder>();
    (*recorder)->Start();
    TempDir app(ProgramFilesFolder(), "destroyed");
    CreateAndAwait(*recorder, app / "seen.txt");
    recorder.reset();
    // Nothing watches any more: changes now reach no destroyed object.
    WriteTextFile(app / "after.txt", "x");
    // A short window in which a stray delivery to the destroyed recorder would crash this process.
    test_support::PumpMessagesUntil([] { return false; }, 300);

    Recorder next;
    next->Start();
    TempDir other(ProgramFilesFolder(), "next");
    CreateAndAwait(next, other / "fresh.txt");
    next->Stop();
    EXPECT_FALSE(next.Has(app / "seen.txt"));
}

} // namespace
