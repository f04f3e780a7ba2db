#include "capture/module/FileCapture.h"

#include "capture/InlineHook.h"
#include "capture/LastErrorKeeper.h"
#include "capture/OldState.h"
#include "capture/module/CaptureChannel.h"
#include "capture/module/FileNtCalls.h"
#include "capture/module/OldFileContent.h"
#include "capture/module/OldStateLog.h"
#include "capture/module/ReentryGuard.h"
#include "capture/module/WatchedFolders.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace capture {

namespace {

// What a call can do to the file it names: change it if it exists, create it if it does not.
constexpr unsigned kNoChange = 0;
constexpr unsigned kChangesExisting = 1;
constexpr unsigned kCreatesAbsent = 2;

// Everything the detours use. One instance, never freed (see the header).
struct FileCaptureState {
    FileCaptureState(OldStateLog& log, const CaptureChannel& channel, DWORD processId)
        : oldState(log), channel(channel), store(log.store(), processId) {}

    OldStateLog& oldState;
    const CaptureChannel& channel;
    FileNtCalls nt;
    NtCreateFileFunction* originalCreateFile = nullptr;
    NtOpenFileFunction* originalOpenFile = nullptr;
    NtSetInformationFileFunction* originalSetInformationFile = nullptr;
    NtDeleteFileFunction* originalDeleteFile = nullptr;
    InlineHook createFileHook;
    InlineHook openFileHook;
    InlineHook setInformationFileHook;
    InlineHook deleteFileHook;
    DWORD guardSlot = TLS_OUT_OF_INDEXES;
    DWORD processId = 0;
    std::wstring image;
    WatchedFolders folders;
    FileStore store;
    uint64_t cap = kDefaultFileCap;
    // A store that cannot be written fails every later copy as well: said once, not per file.
    volatile LONG storeFailureSaid = 0;
    volatile LONG memoryFailureSaid = 0;
};

FileCaptureState* files = nullptr;

// Passes a name to the system as it is: it came from the kernel's side, already whole. (A constant
// of static storage, not a std::wstring: the hooks outlive the DLL's static destructors.)
constexpr wchar_t kWholeNamePrefix[] = L"\\\\?\\";
constexpr size_t kWholeNamePrefixUnits = 4;

constexpr ACCESS_MASK kChangingAccess =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
// A folder's entries, or a file named by its id rather than by a path: neither is kept.
constexpr ULONG kNotAFileByName = FILE_DIRECTORY_FILE | FILE_OPEN_BY_FILE_ID;

std::wstring EnvironmentText(const wchar_t* name) {
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0)
        return std::wstring();
    std::vector<wchar_t> text(needed);
    const DWORD length = ::GetEnvironmentVariableW(name, text.data(), needed);
    return length > 0 && length < needed ? std::wstring(text.data(), length) : std::wstring();
}

void SayOnce(volatile LONG& said, const std::wstring& reason) {
    if (::InterlockedExchange(&said, 1) == 0)
        files->channel.Send(kOldStateKind, files->processId, files->image, reason);
}

// Runs the capture's own work before a hooked call goes on: the program's last error kept, the
// capture's own file calls passed straight through, and nothing thrown at the program.
template <typename Work>
void AsFileWork(Work work) {
    const LastErrorKeeper keepLastError;
    const ReentryGuard guard(files->guardSlot);
    if (!guard.entered())
        return;
    try {
        work();
    } catch (...) {
        try {
            SayOnce(files->memoryFailureSaid, L"the old content of a file could not be kept: out of memory");
        } catch (...) {
        }
    }
}

// GCC 12 takes the segment read in NtCurrentTeb for a read of an empty array (-Warray-bounds).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
const NT_TIB* ThisThreadsBlock() {
    return reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
}
#pragma GCC diagnostic pop

// Whether `size` bytes at `at` can be read without a fault. The program's arguments are read before
// the system has checked them: a bad pointer must come back from the call as an error status, not
// crash the program in the capture. The thread's committed stack, where the Win32 layer builds a
// call's attributes, needs no question.
bool Readable(const void* at, size_t size) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(at);
    if (at == nullptr || start + size < start)
        return false;
    const uintptr_t end = start + size;
    const NT_TIB* thread = ThisThreadsBlock();
    if (start >= reinterpret_cast<uintptr_t>(thread->StackLimit) &&
        end <= reinterpret_cast<uintptr_t>(thread->StackBase))
        return true;
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    for (uintptr_t next = start; next < end;) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(reinterpret_cast<const void*>(next), &region, sizeof region) == 0 ||
            region.State != MEM_COMMIT || (region.Protect & kReadable) == 0 ||
            (region.Protect & PAGE_GUARD) != 0)
            return false;
        const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (regionEnd <= next)
            return false;
        next = regionEnd;
    }
    return true;
}

bool Applies(const FileLook& look, unsigned change) {
    switch (look.what) {
    case FileLook::File:
        return (change & kChangesExisting) != 0;
    case FileLook::Absent:
        return (change & kCreatesAbsent) != 0;
    case FileLook::Unreadable:
        return true;
    default: // a folder's content is its files, each kept when it changes; a name no file can have
        return false;
    }
}

void Append(OldStateRecord& record) {
    if (!files->oldState.Append(record))
        SayOnce(files->storeFailureSaid, L"its records of old state cannot be written (error " +
                                             std::to_wstring(files->oldState.openError()) + L")");
}

// Claims the file's first change in this process and appends the record of what it held. Another
// thread of the process changing the same file meanwhile goes on without waiting for the copy: a
// program that races itself on one file gets no promise of which content was first.
void Keep(const std::wstring& dosPath, unsigned change) {
    const std::wstring path = std::wstring(kWholeNamePrefix) + dosPath;
    const FileLook look = LookAt(path);
    if (!Applies(look, change) || !files->oldState.ClaimFirstChange(L"F:" + UpperOrdinal(dosPath)))
        return;
    OldStateRecord record;
    DWORD storeError = 0;
    if (look.what == FileLook::File) {
        record = KeepOldContent(path, look, files->store, files->cap, storeError);
    } else {
        record.kind = OldStateKind::File;
        record.presence = look.what == FileLook::Absent ? OldPresence::Absent : OldPresence::Unknown;
        if (look.what == FileLook::Unreadable)
            record.reason = L"could not be read (error " + std::to_wstring(look.error) + L")";
    }
    record.key = dosPath;
    record.sequence = OldStateLog::NextSequence();
    if (storeError != 0)
        SayOnce(files->storeFailureSaid, L"the old content of its files cannot be kept: the store cannot be "
                                         L"written (error " +
                                             std::to_wstring(storeError) + L")");
    Append(record);
}

// The long form of the DOS path `path`, or empty when the system cannot tell it.
std::wstring LongForm(const std::wstring& path) {
    // Wine gives a "\\?\" name back as it is; Windows needs one past MAX_PATH.
    const std::wstring prefixed = path.size() < MAX_PATH ? path : std::wstring(kWholeNamePrefix) + path;
    std::vector<wchar_t> longer(prefixed.size() + MAX_PATH);
    DWORD length = ::GetLongPathNameW(prefixed.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
    if (length >= longer.size()) {
        longer.resize(length);
        length = ::GetLongPathNameW(prefixed.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
    }
    if (length == 0 || length >= longer.size())
        return std::wstring();
    const std::wstring answer(longer.data(), length);
    return answer.compare(0, kWholeNamePrefixUnits, kWholeNamePrefix) == 0
               ? answer.substr(kWholeNamePrefixUnits)
               : answer;
}

// The NT name `name` in its long form; empty when the system cannot tell it. The file itself may
// not exist yet: its folder then tells.
std::wstring LongFormOf(const wchar_t* name, size_t units) {
    const std::wstring path(name + kDosDevicesPrefixUnits, units - kDosDevicesPrefixUnits);
    std::wstring longer = LongForm(path);
    const size_t separator = path.find_last_of(L'\\');
    if (longer.empty() && separator != std::wstring::npos) {
        longer = LongForm(path.substr(0, separator));
        if (!longer.empty())
            longer += path.substr(separator);
    }
    return longer.empty() ? std::wstring() : kDosDevicesPrefix + longer;
}

// The DOS path below a watched folder that `name` (`bytes` long, from the program) stands for; empty
// for a name outside them.
std::wstring WatchedDosPath(const wchar_t* name, size_t bytes) {
    if (bytes % sizeof(wchar_t) != 0 || !Readable(name, bytes))
        return std::wstring();
    const size_t units = bytes / sizeof(wchar_t);
    std::wstring dosPath = files->folders.DosPathBelow(name, units);
    // A short (8.3) alias names the same file as its long form, the form the tracker gives the
    // watched folders in and reports files by: such a name is matched, and recorded, by its long form.
    const bool hasAlias = std::find(name, name + units, L'~') != name + units;
    if (hasAlias && (!dosPath.empty() || files->folders.MayReachByShortName(name, units))) {
        const std::wstring longer = LongFormOf(name, units);
        if (!longer.empty())
            dosPath = files->folders.DosPathBelow(longer.data(), longer.size());
    }
    return dosPath;
}

void KeepNamed(const wchar_t* name, size_t bytes, unsigned change) {
    const std::wstring dosPath = WatchedDosPath(name, bytes);
    if (!dosPath.empty())
        Keep(dosPath, change);
}

// The program's object name, when it can be read and is not relative to a RootDirectory handle.
// Such a name is not kept: the Win32 layer always passes full paths, and a name by handle would
// need a query of the handle on every call. The tracker then finds no record for such a file and
// reports its old content as not kept.
const UNICODE_STRING* FullObjectName(const OBJECT_ATTRIBUTES* attributes) {
    if (!Readable(attributes, sizeof *attributes) || attributes->RootDirectory != nullptr ||
        !Readable(attributes->ObjectName, sizeof(UNICODE_STRING)))
        return nullptr;
    return attributes->ObjectName;
}

void KeepBefore(const OBJECT_ATTRIBUTES* attributes, unsigned change) {
    AsFileWork([&] {
        if (const UNICODE_STRING* name = FullObjectName(attributes))
            KeepNamed(name->Buffer, name->Length, change);
    });
}

// A create that may only make a new file (FILE_CREATE) fails where the file exists, so its success
// alone says the file was absent: it is recorded after the call, without a look at the file first,
// which under Wine costs a walk of its folder as the create itself does. The item is claimed and
// its sequence taken before the call, as for any change, and the claim given back when the call
// fails: the file was there, or is not reachable, and its next change keeps its content.
struct PendingCreate {
    std::wstring dosPath;
    std::wstring item;
    uint64_t sequence = 0;
};

void ClaimCreate(const OBJECT_ATTRIBUTES* attributes, PendingCreate& pending) {
    AsFileWork([&] {
        const UNICODE_STRING* name = FullObjectName(attributes);
        if (name == nullptr)
            return;
        std::wstring dosPath = WatchedDosPath(name->Buffer, name->Length);
        if (dosPath.empty())
            return;
        std::wstring item = L"F:" + UpperOrdinal(dosPath);
        if (!files->oldState.ClaimFirstChange(item))
            return;
        pending.dosPath.swap(dosPath);
        pending.item.swap(item);
        pending.sequence = OldStateLog::NextSequence();
    });
}

void FinishCreate(const PendingCreate& pending, bool created) {
    AsFileWork([&] {
        if (!created) {
            files->oldState.GiveBack(pending.item);
            return;
        }
        OldStateRecord record;
        record.kind = OldStateKind::File;
        record.presence = OldPresence::Absent;
        record.key = pending.dosPath;
        record.sequence = pending.sequence;
        Append(record);
    });
}

unsigned ChangeOfOpen(ACCESS_MASK access, ULONG options) {
    if ((options & kNotAFileByName) != 0)
        return kNoChange;
    return (access & kChangingAccess) != 0 || (options & FILE_DELETE_ON_CLOSE) != 0 ? kChangesExisting
                                                                                    : kNoChange;
}

unsigned ChangeOfCreate(ACCESS_MASK access, ULONG disposition, ULONG options) {
    if ((options & kNotAFileByName) != 0)
        return kNoChange;
    switch (disposition) {
    case FILE_SUPERSEDE:
    case FILE_OVERWRITE_IF:
        return kChangesExisting | kCreatesAbsent;
    case FILE_OVERWRITE:
        return kChangesExisting;
    case FILE_CREATE: // fails on an existing file
        return kCreatesAbsent;
    case FILE_OPEN_IF:
        return ChangeOfOpen(access, options) | kCreatesAbsent;
    default: // FILE_OPEN, or a disposition the call refuses
        return ChangeOfOpen(access, options);
    }
}

NTSTATUS NTAPI CreateFileDetour(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                PIO_STATUS_BLOCK io, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                                ULONG eaLength) {
    const unsigned change = ChangeOfCreate(access, disposition, options);
    if (change == kCreatesAbsent) {
        PendingCreate pending;
        ClaimCreate(attributes, pending);
        const NTSTATUS status =
            files->originalCreateFile(file, access, attributes, io, allocationSize, fileAttributes,
                                      shareAccess, disposition, options, eaBuffer, eaLength);
        if (!pending.item.empty())
            FinishCreate(pending, status >= 0);
        return status;
    }
    if (change != kNoChange)
        KeepBefore(attributes, change);
    return files->originalCreateFile(file, access, attributes, io, allocationSize, fileAttributes,
                                     shareAccess, disposition, options, eaBuffer, eaLength);
}

NTSTATUS NTAPI OpenFileDetour(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                              PIO_STATUS_BLOCK io, ULONG shareAccess, ULONG options) {
    const unsigned change = ChangeOfOpen(access, options);
    if (change != kNoChange)
        KeepBefore(attributes, change);
    return files->originalOpenFile(file, access, attributes, io, shareAccess, options);
}

bool NamesAnotherFile(ULONG informationClass) {
    return informationClass == kFileRenameInformation || informationClass == kFileLinkInformation ||
           informationClass == kFileRenameInformationEx || informationClass == kFileLinkInformationEx;
}

// The file a rename or a new link puts its file's data under. The renamed file itself was opened
// with DELETE access, and kept then.
void KeepRenameTarget(const void* information, ULONG length, ULONG informationClass) {
    AsFileWork([&] {
        const size_t nameOffset = offsetof(RenameInformation, fileName);
        if (length < nameOffset || !Readable(information, nameOffset))
            return;
        const auto* rename = static_cast<const RenameInformation*>(information);
        if (rename->rootDirectory != nullptr || rename->fileNameLength > length - nameOffset)
            return; // relative to a folder's handle: not kept, as for an open (KeepBefore)
        const bool replaces =
            informationClass == kFileRenameInformation || informationClass == kFileLinkInformation
                ? rename->replaceIfExists != FALSE
                : (rename->flags & kReplaceIfExistsFlag) != 0;
        KeepNamed(rename->fileName, rename->fileNameLength,
                  replaces ? kChangesExisting | kCreatesAbsent : kCreatesAbsent);
    });
}

NTSTATUS NTAPI SetInformationFileDetour(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                        FILE_INFORMATION_CLASS informationClass) {
    if (NamesAnotherFile(static_cast<ULONG>(informationClass)))
        KeepRenameTarget(information, length, static_cast<ULONG>(informationClass));
    return files->originalSetInformationFile(file, io, information, length, informationClass);
}

NTSTATUS NTAPI DeleteFileDetour(POBJECT_ATTRIBUTES attributes) {
    KeepBefore(attributes, kChangesExisting);
    return files->originalDeleteFile(attributes);
}

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    return wide;
}

// All four or none: a capture that saw writes but not renames over files would keep some old
// contents and silently miss others.
HookResult HookFileCalls() {
    HookResult result =
        files->createFileHook.Install(files->nt.createFile, &CreateFileDetour, &files->originalCreateFile);
    if (result == HookResult::Installed)
        result = files->openFileHook.Install(files->nt.openFile, &OpenFileDetour, &files->originalOpenFile);
    if (result == HookResult::Installed)
        result = files->setInformationFileHook.Install(
            files->nt.setInformationFile, &SetInformationFileDetour, &files->originalSetInformationFile);
    if (result == HookResult::Installed)
        result = files->deleteFileHook.Install(files->nt.deleteFile, &DeleteFileDetour,
                                               &files->originalDeleteFile);
    if (result != HookResult::Installed) {
        files->createFileHook.Remove();
        files->openFileHook.Remove();
        files->setInformationFileHook.Remove();
        files->deleteFileHook.Remove();
    }
    return result;
}

} // namespace

void StartFileCapture(OldStateLog& oldState, const CaptureChannel& channel, DWORD guardSlot, DWORD processId,
                      const std::wstring& image) {
    if (files != nullptr || !oldState.Active())
        return;
    const std::wstring watched = EnvironmentText(kWatchedFoldersVariable);
    if (watched.empty())
        return;
    files = new (std::nothrow) FileCaptureState(oldState, channel, processId);
    if (files == nullptr)
        return;
    files->guardSlot = guardSlot;
    files->processId = processId;
    files->image = image;
    files->folders.Parse(watched, oldState.store());
    files->cap = ParseFileCap(EnvironmentText(kFileCapVariable));
    const std::wstring cannot = L"the old content of the files it changes cannot be kept";
    if (files->folders.empty()) {
        channel.Send(kOldStateKind, processId, image, cannot + L": the watched folders name no folder");
        return;
    }
    files->nt = FindFileNtCalls();
    if (!files->nt.Complete()) {
        channel.Send(kOldStateKind, processId, image, cannot + L" on this system");
        return;
    }
    const HookResult result = HookFileCalls();
    if (result != HookResult::Installed)
        channel.Send(kOldStateKind, processId, image, cannot + L": " + Widen(DescribeHookResult(result)));
}

} // namespace capture
