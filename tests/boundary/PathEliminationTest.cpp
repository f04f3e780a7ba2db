#include "include/IOrvaneInc.h"

#include "tests/support/TestSupport.h"

#include "common/Wow64.h"

#include <gtest/gtest.h>

#include <memory>

using test_support::TempDir;
using test_support::WriteTextFile;

namespace {

class PathElimination : public testing::Test {
protected:
    void SetUp() override {
        object_ = IOrvaneInc::CreateOrvane(IOrvaneInc::OV_EMPTY);
        ASSERT_NE(object_, nullptr);
    }
    void TearDown() override { IOrvaneInc::DestroyOrvane(&object_); }

    bool Eliminated(const std::string& path) { return object_->IsEliminatePath(path); }

    // A readable file at `folder\name`, created for the test.
    std::string MakeFile(const std::string& folder, const std::string& name) {
        ::CreateDirectoryA(folder.c_str(), nullptr);
        const std::string path = folder + "\\" + name;
        WriteTextFile(path, "content");
        return path;
    }

    IOrvaneInc* object_ = nullptr;
    TempDir dir_{"paths"};
};

TEST_F(PathElimination, ExistingReadableFileIsKept) {
    EXPECT_FALSE(Eliminated(MakeFile(dir_.path() + "\\App", "app.exe")));
}

TEST_F(PathElimination, MissingPathsAreEliminated) {
    EXPECT_TRUE(Eliminated(dir_ / "missing.exe"));
    EXPECT_TRUE(Eliminated(dir_ / "Installer\\missing.msi"));
    EXPECT_TRUE(Eliminated(""));
}

TEST_F(PathElimination, DirectoriesAreEliminated) {
    EXPECT_TRUE(Eliminated(dir_.path()));
    EXPECT_TRUE(Eliminated(dir_.path() + "\\"));
}

TEST_F(PathElimination, EveryNoiseFragmentEliminatesAnExistingFile) {
    struct Case {
        const char* folder; // below the test folder
        const char* name;
    };
    const Case cases[] = {
        {"InstallShield Installation Information", "setup.ini"},
        {"App", "desktop.ini"},
        {"App", "desktop.ini.bak"},
        {"App", "Folder.jpg"},
        {"App", "Thumbs.db"},
        {"CatRoot", "x.cat"},
        {"CatRoot2", "x.cat"},
        {"InstallShield", "x.dat"},
        {"Installer", "x.msi"},
        {"winevt", "x.evtx"},
    };
    for (const Case& c : cases) {
        const std::string path = MakeFile(dir_ / c.folder, c.name);
        EXPECT_TRUE(Eliminated(path)) << path;
    }
}

TEST_F(PathElimination, FragmentsAreCaseSensitive) {
    EXPECT_FALSE(Eliminated(MakeFile(dir_ / "App", "THUMBS.DB")));
    EXPECT_FALSE(Eliminated(MakeFile(dir_ / "App", "DESKTOP.INI")));
    EXPECT_FALSE(Eliminated(MakeFile(dir_ / "installer", "x.msi")));
    EXPECT_FALSE(Eliminated(MakeFile(dir_ / "CatRootX", "x.cat")));
}

TEST_F(PathElimination, WindowsTempDependsOnTheLetterCaseOfThePath) {
    const std::string name = "orvane-" + std::to_string(::GetCurrentProcessId()) + ".tmp";
    WriteTextFile("C:\\windows\\Temp\\" + name, "x");
    EXPECT_TRUE(Eliminated("C:\\windows\\Temp\\" + name));
    EXPECT_FALSE(Eliminated("C:\\Windows\\Temp\\" + name));
    ::DeleteFileA(("C:\\windows\\Temp\\" + name).c_str());
}

TEST_F(PathElimination, OverlongPathsAreEliminated) {
    const std::string beyondMaxPath = dir_.path() + "\\" + std::string(300, 'a') + ".txt";
    EXPECT_TRUE(Eliminated(beyondMaxPath));
    EXPECT_TRUE(Eliminated("C:\\" + std::string(32000, 'b')));
}

TEST_F(PathElimination, MalformedStringsAreEliminated) {
    const std::string file = MakeFile(dir_ / "App", "real.txt");
    std::string withNul = file;
    withNul.push_back('\0');
    withNul += "tail";
    EXPECT_TRUE(Eliminated(withNul));
    EXPECT_TRUE(Eliminated(std::string("\0", 1)));
    EXPECT_TRUE(Eliminated(dir_.path() + "\\\xff\xfe\x81\x8d.txt"));
    EXPECT_TRUE(Eliminated("\\\\?\\"));
    EXPECT_TRUE(Eliminated("::::"));
}

TEST_F(PathElimination, FileHeldOpenWithoutSharingByAnotherProcessIsEliminated) {
    const std::string path = MakeFile(dir_ / "App", "locked.dat");
    const std::string eventName = "orvane-hold-" + std::to_string(::GetCurrentProcessId());
    UniqueHandle ready(::CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(ready);
    UniqueHandle holder = test_support::StartSelf("--hold-file " + test_support::QuoteArgument(path) + " " +
                                                  test_support::QuoteArgument(eventName));
    ASSERT_TRUE(holder);
    HANDLE waits[] = {ready.get(), holder.get()};
    ASSERT_EQ(::WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0)
        << "holder did not open the file";

    EXPECT_TRUE(Eliminated(path));

    ::TerminateProcess(holder.get(), 0);
    ::WaitForSingleObject(holder.get(), 30000);
    EXPECT_FALSE(Eliminated(path));
}

} // namespace

// A 32-bit caller on 64-bit Windows (WoW64) names files as they are on disk: a file that a 64-bit
// setup put into the native system32 is kept, one a 32-bit setup put into syswow64 is kept under
// that name, and neither is confused with its redirected twin. The caller's own redirection is
// back on afterwards.
class NativePathElimination : public PathElimination {
protected:
    void SetUp() override {
        if (!RunsUnderWow64())
            GTEST_SKIP() << "a case of 32-bit code on 64-bit Windows (WoW64)";
        PathElimination::SetUp();
        char folder[MAX_PATH] = {};
        ASSERT_NE(::GetSystemDirectoryA(folder, sizeof folder), 0u);
        system32_ = folder;
        ASSERT_NE(::GetSystemWow64DirectoryA(folder, sizeof folder), 0u);
        syswow64_ = folder;
        const std::string tag = std::to_string(::GetCurrentProcessId());
        nativeOnly_ = "orvane-native-only-" + tag + ".dll";
        wowOnly_ = "orvane-wow64-only-" + tag + ".dll";
        const Wow64RedirectionOff nativePaths;
        WriteTextFile(system32_ + "\\" + nativeOnly_, "native");
        WriteTextFile(syswow64_ + "\\" + wowOnly_, "32-bit");
    }
    void TearDown() override {
        const Wow64RedirectionOff nativePaths;
        ::DeleteFileA((system32_ + "\\" + nativeOnly_).c_str());
        ::DeleteFileA((syswow64_ + "\\" + wowOnly_).c_str());
        PathElimination::TearDown();
    }

    std::string system32_, syswow64_, nativeOnly_, wowOnly_;
};

TEST_F(NativePathElimination, FilesAreTestedWhereThePathNamesThem) {
    EXPECT_FALSE(Eliminated(system32_ + "\\" + nativeOnly_)) << "present only in the native system32";
    EXPECT_FALSE(Eliminated(syswow64_ + "\\" + wowOnly_)) << "present only in syswow64";
    EXPECT_TRUE(Eliminated(syswow64_ + "\\" + nativeOnly_));
    EXPECT_TRUE(Eliminated(system32_ + "\\" + wowOnly_)) << "not the redirected twin";
}

TEST_F(NativePathElimination, TheCallersRedirectionIsBackOnAfterwards) {
    EXPECT_FALSE(Eliminated(system32_ + "\\" + nativeOnly_));
    // Redirected again: this thread's "system32" is syswow64, where only the 32-bit file is.
    EXPECT_NE(::GetFileAttributesA((system32_ + "\\" + wowOnly_).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesA((system32_ + "\\" + nativeOnly_).c_str()), INVALID_FILE_ATTRIBUTES);
}
