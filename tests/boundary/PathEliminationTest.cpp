#include "include/IOrvaneInc.h"

#include "tests/support/TestSupport.h"

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
