// Which names the file capture keeps the old content of, and the tracker's cap, read on their own:
// the watched folders' text as the tracker may give it, and names as the kernel's side sees them.
#include "capture/module/OldFileContent.h"
#include "capture/module/WatchedFolders.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using capture::WatchedFolders;

std::wstring Below(const WatchedFolders& folders, const std::wstring& ntName) {
    return folders.DosPathBelow(ntName.data(), ntName.size());
}

TEST(WatchedFolders, DropsEmptyPartsAndTrailingSeparatorsAndComparesUpperCased) {
    WatchedFolders folders;
    folders.Parse(L"|C:\\Windows||c:\\windows\\system32\\|C:\\Program Files\\\\|", L"");
    EXPECT_EQ(folders.folders(),
              (std::vector<std::wstring>{L"C:\\WINDOWS", L"C:\\WINDOWS\\SYSTEM32", L"C:\\PROGRAM FILES"}));
    WatchedFolders none;
    none.Parse(L"||\\|", L"");
    EXPECT_TRUE(none.empty());
}

TEST(WatchedFolders, TakesNamesBelowAFolderWhateverTheirCase) {
    WatchedFolders folders;
    folders.Parse(L"C:\\Windows|C:\\Donn\x00E9"
                  L"es",
                  L"");
    EXPECT_EQ(Below(folders, L"\\??\\C:\\Windows\\win.ini"), L"C:\\Windows\\win.ini");
    EXPECT_EQ(Below(folders, L"\\??\\c:\\WINDOWS\\system32\\deep\\x.dll"),
              L"c:\\WINDOWS\\system32\\deep\\x.dll");
    EXPECT_EQ(Below(folders, L"\\??\\C:\\DONN\x00C9"
                             L"ES\\a"),
              L"C:\\DONN\x00C9"
              L"ES\\a");
    // Only the given units count: the name need not end there.
    const std::wstring longer = L"\\??\\C:\\Windows\\a.txt-and-more";
    EXPECT_EQ(folders.DosPathBelow(longer.data(), 20), L"C:\\Windows\\a.txt");
}

TEST(WatchedFolders, LeavesOutEverythingElse) {
    WatchedFolders folders;
    folders.Parse(L"C:\\Windows", L"C:\\windows\\Temp\\store\\");
    for (const wchar_t* name : {
             L"\\??\\C:\\WindowsX\\a.txt",          // a sibling whose name begins the same
             L"\\??\\C:\\Windows",                  // the folder itself
             L"\\??\\C:\\Windows\\",                // and with a separator
             L"\\??\\C:\\Windows\\dir\\",           // a folder's name
             L"\\??\\C:\\Windows\\file.txt:stream", // a stream of a file
             L"\\??\\C:\\Windows\\Temp\\store",     // the store
             L"\\??\\C:\\Windows\\Temp\\STORE\\x",  // and what it holds
             L"C:\\Windows\\a.txt",                 // not a kernel name
             L"\\Device\\HarddiskVolume1\\Windows\\a.txt",
             L"\\??\\D:\\Windows\\a.txt",
             L"\\??\\",
             L"",
         })
        EXPECT_EQ(Below(folders, name), L"") << std::string(name, name + std::wcslen(name));
    EXPECT_EQ(Below(folders, L"\\??\\C:\\Windows\\Temp\\storeroom\\x"), L"C:\\Windows\\Temp\\storeroom\\x");
    EXPECT_EQ(folders.DosPathBelow(nullptr, 10), L"");
}

TEST(WatchedFolders, TheRootOfADriveWatchesTheWholeDrive) {
    WatchedFolders folders;
    folders.Parse(L"D:\\", L"");
    EXPECT_EQ(Below(folders, L"\\??\\d:\\x"), L"d:\\x");
    EXPECT_EQ(Below(folders, L"\\??\\C:\\x"), L"");
}

TEST(WatchedFolders, AShortNameIsLookedUpOnlyWhereItMayLeadToAFolder) {
    WatchedFolders folders;
    folders.Parse(L"C:\\Program Files|C:\\Users\\Public\\Desktop", L"");
    const auto may = [&](const std::wstring& name) {
        return folders.MayReachByShortName(name.data(), name.size());
    };
    EXPECT_TRUE(may(L"\\??\\C:\\PROGRA~1\\App\\x.dll"));
    EXPECT_TRUE(may(L"\\??\\c:\\users\\PUBLIC~1\\Desktop\\x.lnk"));
    EXPECT_TRUE(may(L"\\??\\C:\\Users\\Public\\DESKTO~1"));
    // A name below a folder is matched as it is; its short components are looked up all the same.
    EXPECT_FALSE(may(L"\\??\\C:\\Program Files\\App\\LONGFI~1.TXT"));
    // Short names elsewhere cost nothing.
    EXPECT_FALSE(may(L"\\??\\C:\\Users\\me\\AppData\\Local\\Temp\\~DF12.tmp"));
    EXPECT_FALSE(may(L"\\??\\D:\\PROGRA~1\\x"));
    EXPECT_FALSE(may(L"\\??\\C:\\Program Files\\x"));
    EXPECT_FALSE(may(L"C:\\PROGRA~1\\x"));
    EXPECT_FALSE(may(L"\\??\\"));
}

TEST(FileCap, IsADecimalNumberOfBytesOrElseTheDefault) {
    EXPECT_EQ(capture::ParseFileCap(L"0"), 0u);
    EXPECT_EQ(capture::ParseFileCap(L"1000"), 1000u);
    EXPECT_EQ(capture::ParseFileCap(L"18446744073709551615"), UINT64_MAX);
    for (const wchar_t* malformed :
         {L"", L"12x", L"-5", L" 5", L"5 ", L"0x10", L"18446744073709551616", L"999999999999999999999"})
        EXPECT_EQ(capture::ParseFileCap(malformed), capture::kDefaultFileCap)
            << std::string(malformed, malformed + std::wcslen(malformed));
    EXPECT_EQ(capture::kDefaultFileCap, 64u * 1024 * 1024);
}

} // namespace
