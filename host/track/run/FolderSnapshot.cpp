#include "host/track/run/FolderSnapshot.h"

#include "host/track/result/TextEncoding.h"

#include "common/UniqueHandle.h"
#include "common/Wow64.h"

#include <shlobj.h>

#include <vector>

namespace track {

namespace {

// The watched folders as the shell names them: program files, Windows, the common Start menu
// and desktop, the user's Start menu and desktop.
std::vector<std::wstring> WatchedFolders() {
    const int ids[] = {CSIDL_PROGRAM_FILES,           CSIDL_WINDOWS,   CSIDL_COMMON_STARTMENU,
                       CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_STARTMENU, CSIDL_DESKTOPDIRECTORY};
    std::vector<std::wstring> folders;
    for (int id : ids) {
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(::SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path)) && path[0] != 0)
            folders.emplace_back(path);
    }
    const std::wstring native = AnsiToWide(NativeProgramFilesFolder());
    if (!native.empty())
        folders.push_back(native);
    return folders;
}

// The first entry of `folder`, asked for folders only and without short names, in large batches;
// Windows XP and Server 2003 know neither that level nor that flag and refuse the call, so there
// the plain form is asked for. A folder that cannot be listed yields no handle.
HANDLE FindFirstSubfolder(const std::wstring& folder, WIN32_FIND_DATAW& entry) {
    const std::wstring pattern = folder + L"\\*";
    HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchLimitToDirectories,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER)
        find = ::FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &entry, FindExSearchLimitToDirectories,
                                  nullptr, 0);
    return find;
}

} // namespace

std::wstring FolderSnapshot::Key(const std::wstring& path) {
    std::wstring key = path;
    while (key.size() > 3 && key.back() == L'\\')
        key.pop_back();
    if (!key.empty())
        ::CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

// The folders are walked as they are on disk: under WoW64 "system32" below the Windows folder is
// the native one, as a 64-bit setup sees it.
void FolderSnapshot::Take() {
    const Wow64RedirectionOff nativePaths;
    for (const std::wstring& folder : WatchedFolders()) {
        if (folders_.insert(Key(folder)).second)
            Walk(folder);
    }
}

void FolderSnapshot::Walk(const std::wstring& folder) {
    std::vector<std::wstring> pending{folder};
    while (!pending.empty()) {
        const std::wstring current = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW entry;
        UniqueFind find(FindFirstSubfolder(current, entry));
        if (!find)
            continue;
        do {
            const std::wstring name = entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || name == L"." || name == L"..")
                continue;
            const std::wstring path = current + L"\\" + name;
            if (folders_.insert(Key(path)).second &&
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                pending.push_back(path);
        } while (::FindNextFileW(find.get(), &entry));
    }
}

std::vector<std::wstring> FolderSnapshot::CreatedFoldersOf(const std::wstring& file) const {
    std::vector<std::wstring> created;
    std::wstring folder = file;
    for (;;) {
        const size_t slash = folder.rfind(L'\\');
        if (slash == std::wstring::npos || slash < 3)
            break;
        folder.resize(slash);
        if (folders_.count(Key(folder)) != 0)
            return created;
        created.push_back(folder);
    }
    // No folder on the way existed before: the file lies outside the watched folders, and nothing
    // there is the tracker's to remove.
    return {};
}

} // namespace track
