// Reading what a file holds before a change, and keeping a copy of it for the tracker
// (capture/OldState.h): in its record when it is small, else in the store as
// "<store>\files\<pid>-<group>\<pid>-<n>". Runs inside the program's own call, on its thread, before
// the call goes on: the copy is bounded by the cap, and every file it opens is opened for sharing,
// so that the program's call finds the file as it would have.
#pragma once

#include "capture/OldState.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstdint>
#include <string>

namespace capture {

// The largest file kept when the tracker names no cap.
constexpr uint64_t kDefaultFileCap = 64ull * 1024 * 1024;
// Files up to this size are kept in their record (kCopyInRecord), up to kRecordCopyBytes of them in
// all per process: the tracker reads a record file whole.
constexpr uint32_t kLargestCopyInRecord = 64 * 1024;
constexpr LONG kRecordCopyBytes = 16 * 1024 * 1024;

// The cap as the tracker gives it (bytes, decimal); kDefaultFileCap for empty or malformed text.
uint64_t ParseFileCap(const std::wstring& text);

// The store's "files" folder, made by the first copy that needs it. Any thread.
class FileStore {
public:
    FileStore(const std::wstring& store, DWORD processId);

    // A new, empty copy file and its name below the folder ("<pid>-<group>\<pid>-<n>"); an invalid
    // handle and `error` when the store cannot take one. Names are taken with CREATE_NEW: a process
    // id comes back once its process has ended, and a later process of that id must not overwrite
    // the earlier's copies.
    UniqueFile Create(std::wstring& name, DWORD& error);
    // Removes a copy that could not be completed.
    void Discard(const std::wstring& name);
    // Takes room for `bytes` of copies kept in records; false once kRecordCopyBytes are taken.
    bool TakeRecordRoom(uint32_t bytes);

private:
    bool MakeFolder(const std::wstring& group, DWORD& error);

    std::wstring folder_;
    DWORD processId_;
    volatile LONG next_ = 0;
    volatile LONG recordBytes_ = 0;
};

// What a look at the file before the change found.
struct FileLook {
    enum What { File, Absent, Directory, Unnamable, Unreadable } what = Unreadable;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    DWORD error = 0;
};

// Looks at `path` (a "\\?\" path) without opening it.
FileLook LookAt(const std::wstring& path);

// The File record of the existing file `path` ("\\?\" path) as `look` saw it: Present with the
// copy's name (or the copy itself) when it was copied whole, TooLarge past `cap`, Unknown with the reason
// otherwise. `storeError` is set when the store could not be written. The key and sequence are left to the
// caller.
OldStateRecord KeepOldContent(const std::wstring& path, const FileLook& look, FileStore& store, uint64_t cap,
                              DWORD& storeError);

} // namespace capture
