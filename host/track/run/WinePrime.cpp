#include "host/track/run/WinePrime.h"

#include "common/KnownFolder.h"
#include "common/Tick.h"
#include "common/UniqueHandle.h"
#include "common/Wow64.h"

#include <deque>

namespace track {

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::vector<std::string> WatchedFolders() {
    const int ids[] = {CSIDL_PROGRAM_FILES,           CSIDL_WINDOWS,   CSIDL_COMMON_STARTMENU,
                       CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_STARTMENU, CSIDL_DESKTOPDIRECTORY};
    std::vector<std::string> folders;
    for (const int id : ids) {
        std::string folder = KnownFolderPathAnsi(id);
        if (!folder.empty())
            folders.push_back(std::move(folder));
    }
    std::string native = NativeProgramFilesFolder();
    if (!native.empty())
        folders.push_back(std::move(native));
    return folders;
}

namespace {

class Stopwatch {
public:
    double Seconds() const { return static_cast<double>(TickCount64() - start_) / 1000.0; }
    ULONGLONG Milliseconds() const { return TickCount64() - start_; }

private:
    ULONGLONG start_ = TickCount64();
};

bool IsWalkableFolder(const WIN32_FIND_DATAA& entry) {
    const std::string name = entry.cFileName;
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && name != "." && name != "..";
}

// Listing the folder is what makes Wine watch it; its subfolders join the queue.
void ListFolder(const std::string& folder, std::deque<std::string>& pending) {
    WIN32_FIND_DATAA entry;
    UniqueFind find(::FindFirstFileExA((folder + "\\*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchLimitToDirectories, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find)
        return;
    do {
        if (IsWalkableFolder(entry))
            pending.push_back(folder + "\\" + entry.cFileName);
    } while (::FindNextFileA(find.get(), &entry));
}

} // namespace

PrimeResult PrimeExistingSubfolders(const std::vector<std::string>& roots, const PrimeLimits& limits,
                                    const std::function<void(size_t, double)>& progress) {
    // Under WoW64 the folders Wine must take up are the native ones: listing "system32" from here
    // would otherwise list the 32-bit system folder twice and never the native one.
    const Wow64RedirectionOff nativePaths;
    const Stopwatch clock;
    PrimeResult result;
    std::deque<std::string> pending;
    for (const std::string& root : roots) {
        if (!root.empty()) // "\\*" alone would list the root of the current drive
            ListFolder(root, pending);
    }
    while (!pending.empty()) {
        if (result.folders >= limits.maxFolders || clock.Milliseconds() >= limits.maxMilliseconds) {
            result.complete = false;
            break;
        }
        const std::string folder = std::move(pending.front());
        pending.pop_front();
        ListFolder(folder, pending);
        ++result.folders;
        if (progress)
            progress(result.folders, clock.Seconds());
    }
    result.seconds = clock.Seconds();
    return result;
}

} // namespace track
