#include "host/track/undo/FileUndo.h"

#include "host/track/result/TextEncoding.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "common/Wow64.h"

namespace track {

namespace {

// What is at a path now. `error` is the reason nothing is there, when nothing is.
struct OnDisk {
    bool exists = false;
    bool folder = false;
    FileFacts facts;
    DWORD error = 0;
};

OnDisk Look(const std::wstring& path) {
    OnDisk disk;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        disk.error = ::GetLastError();
        return disk;
    }
    disk.exists = true;
    disk.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    disk.facts.exists = true;
    disk.facts.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    disk.facts.writeTime =
        (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    disk.facts.attributes = data.dwFileAttributes;
    return disk;
}

bool IsGone(const OnDisk& disk) {
    return !disk.exists && (disk.error == ERROR_FILE_NOT_FOUND || disk.error == ERROR_PATH_NOT_FOUND);
}

bool AsSetupLeft(const OnDisk& disk, const FileFacts& now) {
    return disk.exists && !disk.folder && disk.facts.size == now.size &&
           disk.facts.writeTime == now.writeTime;
}

// The attributes SetFileAttributes takes; none at all is FILE_ATTRIBUTE_NORMAL.
DWORD SettableAttributes(std::uint32_t attributes) {
    const DWORD settable =
        attributes &
        (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY);
    return settable != 0 ? settable : FILE_ATTRIBUTE_NORMAL;
}

void ClearReadOnly(const std::wstring& path, const OnDisk& disk) {
    if ((disk.facts.attributes & FILE_ATTRIBUTE_READONLY) != 0)
        ::SetFileAttributesW(path.c_str(), disk.facts.attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
}

bool CreateFolders(const std::wstring& folder) {
    if (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const size_t slash = folder.rfind(L'\\');
    if (slash != std::wstring::npos && slash > 2 && !CreateFolders(folder.substr(0, slash)))
        return false;
    return ::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

// A file beside the target that holds the old content until it is renamed onto the target; removed
// again if that never happens.
class Staged {
public:
    explicit Staged(const std::wstring& target)
        : path_(target + L".orvane-undo-" + std::to_wstring(::GetCurrentProcessId()) + L".tmp") {}
    ~Staged() {
        if (!placed_) {
            ::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(path_.c_str());
        }
    }
    Staged(const Staged&) = delete;
    Staged& operator=(const Staged&) = delete;

    const std::wstring& path() const { return path_; }
    void Placed() { placed_ = true; }

private:
    std::wstring path_;
    bool placed_ = false;
};

DWORD SetWriteTime(const std::wstring& path, std::uint64_t writeTime) {
    UniqueFile file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return ::GetLastError();
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(writeTime);
    time.dwHighDateTime = static_cast<DWORD>(writeTime >> 32);
    return ::SetFileTime(file.get(), nullptr, nullptr, &time) ? ERROR_SUCCESS : ::GetLastError();
}

// Puts the kept copy's content at `target` with the old write time and attributes. The content goes
// to a file beside the target first and is renamed onto it, so the target is never half written;
// `replace` false never overwrites a file that appeared meanwhile.
DWORD CopyBack(const std::wstring& kept, const std::wstring& target, const FileFacts& old, bool replace,
               const OnDisk& targetNow) {
    Staged staged(target);
    if (!::CopyFileW(kept.c_str(), staged.path().c_str(), TRUE))
        return ::GetLastError();
    ::SetFileAttributesW(staged.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    const DWORD timed = SetWriteTime(staged.path(), old.writeTime);
    if (timed != ERROR_SUCCESS)
        return timed;
    if (replace)
        ClearReadOnly(target, targetNow);
    if (!::MoveFileExW(staged.path().c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
        const DWORD error = ::GetLastError();
        if (replace)
            ::SetFileAttributesW(target.c_str(), targetNow.facts.attributes);
        return error;
    }
    staged.Placed();
    ::SetFileAttributesW(target.c_str(), SettableAttributes(old.attributes));
    return ERROR_SUCCESS;
}

std::wstring KeptCopy(const UndoItem& item, const std::string& planFolder) {
    return Utf8ToWide(IsAbsolutePath(item.kept) ? item.kept : planFolder + "\\" + item.kept);
}

UndoOutcome PutBack(const UndoItem& item, const std::string& planFolder, const OnDisk& targetNow) {
    const std::wstring kept = KeptCopy(item, planFolder);
    const OnDisk copy = Look(kept);
    if (!copy.exists || copy.folder)
        return LeftAlone(item, "its kept copy is missing: " + WideToUtf8(kept));
    if (copy.facts.size != item.oldFile.size)
        return LeftAlone(item, "its kept copy has another size than the old file: " + WideToUtf8(kept));
    const std::wstring target = Utf8ToWide(item.path);
    const bool replace = item.action == UndoAction::RestoreFile;
    if (!replace) {
        const size_t slash = target.rfind(L'\\');
        if (slash != std::wstring::npos && !CreateFolders(target.substr(0, slash)))
            return LeftAlone(item, ErrorText("its folder could not be made", ::GetLastError()));
    }
    const DWORD result = CopyBack(kept, target, item.oldFile, replace, targetNow);
    if (result != ERROR_SUCCESS)
        return LeftAlone(item, ErrorText("it could not be written", result));
    return Done(replace ? "restored" : "re-created", item);
}

UndoOutcome RemoveAddedFile(const UndoItem& item) {
    const std::wstring path = Utf8ToWide(item.path);
    const OnDisk disk = Look(path);
    if (IsGone(disk))
        return LeftAlone(item, "it is gone already");
    if (!AsSetupLeft(disk, item.nowFile))
        return LeftAlone(item, kNoLongerAsLeft);
    ClearReadOnly(path, disk);
    if (!::DeleteFileW(path.c_str())) {
        const DWORD error = ::GetLastError();
        ::SetFileAttributesW(path.c_str(), disk.facts.attributes);
        return LeftAlone(item, ErrorText("it could not be deleted", error));
    }
    return Done("deleted", item);
}

UndoOutcome RemoveCreatedFolder(const UndoItem& item) {
    const std::wstring path = Utf8ToWide(item.path);
    const OnDisk disk = Look(path);
    if (IsGone(disk))
        return LeftAlone(item, "it is gone already");
    if (!disk.folder)
        return LeftAlone(item, kNoLongerAsLeft);
    if (!::RemoveDirectoryW(path.c_str())) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_DIR_NOT_EMPTY)
            return LeftAlone(item, "it is not empty");
        return LeftAlone(item, ErrorText("it could not be removed", error));
    }
    return Done("deleted", item);
}

} // namespace

UndoOutcome UndoFileItem(const UndoItem& item, const std::string& planFolder) {
    // Nothing below loads a library, as the scope requires.
    const Wow64RedirectionOff nativePaths;
    switch (item.action) {
    case UndoAction::DeleteAddedFile:
        return RemoveAddedFile(item);
    case UndoAction::DeleteFolder:
        return RemoveCreatedFolder(item);
    case UndoAction::RestoreFile: {
        const OnDisk disk = Look(Utf8ToWide(item.path));
        if (!AsSetupLeft(disk, item.nowFile))
            return LeftAlone(item, IsGone(disk) ? "it is gone" : kNoLongerAsLeft);
        return PutBack(item, planFolder, disk);
    }
    case UndoAction::RecreateFile: {
        const OnDisk disk = Look(Utf8ToWide(item.path));
        if (!IsGone(disk))
            return LeftAlone(item, kNoLongerAsLeft);
        return PutBack(item, planFolder, disk);
    }
    default:
        return LeftAlone(item, "not a file item");
    }
}

} // namespace track
