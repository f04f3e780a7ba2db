// The tracker's walk over existing folders under Wine: what it lists, where it stops, and that a
// folder it listed reports changes to a subtree watch begun before.
#include "host/track/run/WinePrime.h"

#include "common/Tick.h"
#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test_support::TempDir;

// root\a\b\c, root\a\d, root\e, and a file that must not count as a folder.
void MakeTree(const TempDir& dir) {
    for (const char* folder : {"a", "a\\b", "a\\b\\c", "a\\d", "e"})
        ASSERT_TRUE(::CreateDirectoryA((dir / folder).c_str(), nullptr)) << folder;
    test_support::WriteTextFile(dir / "a\\not-a-folder.txt", "x");
}

TEST(WinePrime, ListsEveryFolderBelowTheRootsOnce) {
    TempDir dir("prime-walk");
    MakeTree(dir);
    std::vector<size_t> progress;
    const track::PrimeResult result = track::PrimeExistingSubfolders(
        {dir.path()}, track::PrimeLimits{}, [&](size_t folders, double) { progress.push_back(folders); });
    EXPECT_EQ(result.folders, 5u);
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(progress, (std::vector<size_t>{1, 2, 3, 4, 5}));
}

TEST(WinePrime, StopsAtItsLimitsAndSaysSo) {
    TempDir dir("prime-limits");
    MakeTree(dir);
    track::PrimeLimits fewFolders;
    fewFolders.maxFolders = 2;
    const track::PrimeResult stopped = track::PrimeExistingSubfolders({dir.path()}, fewFolders, nullptr);
    EXPECT_EQ(stopped.folders, 2u);
    EXPECT_FALSE(stopped.complete);

    track::PrimeLimits noTime;
    noTime.maxMilliseconds = 0;
    const track::PrimeResult timedOut = track::PrimeExistingSubfolders({dir.path()}, noTime, nullptr);
    EXPECT_EQ(timedOut.folders, 0u);
    EXPECT_FALSE(timedOut.complete);
}

TEST(WinePrime, MissingRootsAndOddNamesAreWalkedPastQuietly) {
    TempDir dir("prime-odd");
    ASSERT_TRUE(::CreateDirectoryA((dir / "caf\xe9 & (x) 100%").c_str(), nullptr));
    const track::PrimeResult result = track::PrimeExistingSubfolders(
        {dir / "no-such-folder", "", dir.path(), dir / "caf\xe9 & (x) 100%\\missing"}, track::PrimeLimits{},
        nullptr);
    EXPECT_EQ(result.folders, 1u);
    EXPECT_TRUE(result.complete);
}

TEST(WinePrime, TheSixWatchedFoldersAreFound) {
    const std::vector<std::string> folders = track::WatchedFolders();
    EXPECT_EQ(folders.size(), 6u);
    for (const std::string& folder : folders)
        EXPECT_NE(::GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES) << folder;
}

// A subtree watch with one read pending, as the recorder keeps one per watched folder.
class BareWatch {
public:
    explicit BareWatch(const std::string& folder)
        : directory_(::CreateFileA(
              folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr)),
          done_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        overlapped_.hEvent = done_.get();
        Read();
    }
    ~BareWatch() {
        if (directory_) {
            ::CancelIo(directory_.get());
            DWORD ignored = 0;
            ::GetOverlappedResult(directory_.get(), &overlapped_, &ignored, TRUE);
        }
    }
    BareWatch(const BareWatch&) = delete;
    BareWatch& operator=(const BareWatch&) = delete;

    bool reading() const { return reading_; }

    // Collects the relative names reported until `name` is among them or the deadline passes.
    bool Sees(const std::wstring& name, DWORD timeoutMs) {
        const ULONGLONG deadline = TickCount64() + timeoutMs;
        while (reading_ && TickCount64() < deadline) {
            if (::WaitForSingleObject(done_.get(), 50) != WAIT_OBJECT_0)
                continue;
            DWORD bytes = 0;
            if (!::GetOverlappedResult(directory_.get(), &overlapped_, &bytes, FALSE))
                return false;
            for (DWORD offset = 0; bytes != 0 && offset + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
                const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + offset);
                if (std::wstring(record->FileName, record->FileNameLength / sizeof(WCHAR)) == name)
                    return true;
                if (record->NextEntryOffset == 0)
                    break;
                offset += record->NextEntryOffset;
            }
            ::ResetEvent(done_.get());
            Read();
        }
        return false;
    }

private:
    void Read() {
        reading_ = directory_ &&
                   ::ReadDirectoryChangesW(directory_.get(), buffer_, sizeof buffer_, TRUE,
                                           FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &overlapped_, nullptr);
    }

    UniqueFile directory_;
    UniqueHandle done_;
    OVERLAPPED overlapped_{};
    alignas(DWORD) BYTE buffer_[65536];
    bool reading_ = false;
};

TEST(WinePrime, AListedFolderReportsToAWatchBegunBefore) {
    TempDir dir("prime-watch");
    MakeTree(dir);
    BareWatch watch(dir.path());
    ASSERT_TRUE(watch.reading());
    ASSERT_TRUE(track::PrimeExistingSubfolders({dir.path()}, track::PrimeLimits{}, nullptr).complete);
    test_support::WriteTextFile(dir / "a\\b\\c\\deep.txt", "x");
    EXPECT_TRUE(watch.Sees(L"a\\b\\c\\deep.txt", 20000));
}

} // namespace
