// The ntdll entries through which every file of a process is opened, created, renamed or deleted,
// found at run time like the registry's (NtCalls.h): the capture keeps a file's old content before
// one of them changes it.
#pragma once

#include "common/Win32.h"

#include <winternl.h>

namespace capture {

typedef NTSTATUS(NTAPI NtCreateFileFunction)(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                             PIO_STATUS_BLOCK io, PLARGE_INTEGER allocationSize,
                                             ULONG fileAttributes, ULONG shareAccess, ULONG disposition,
                                             ULONG options, PVOID eaBuffer, ULONG eaLength);
typedef NTSTATUS(NTAPI NtOpenFileFunction)(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                           PIO_STATUS_BLOCK io, ULONG shareAccess, ULONG options);
typedef NTSTATUS(NTAPI NtSetInformationFileFunction)(HANDLE file, PIO_STATUS_BLOCK io, PVOID information,
                                                     ULONG length, FILE_INFORMATION_CLASS informationClass);
typedef NTSTATUS(NTAPI NtDeleteFileFunction)(POBJECT_ATTRIBUTES attributes);

// The information classes that give a file a new name, or put another file's data under a name,
// replacing what was there when asked to. The Ex classes (Windows 10) carry flags where the older
// ones carry a BOOLEAN; both start the same structure (RenameInformation).
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileLinkInformation = 11;
constexpr ULONG kFileRenameInformationEx = 65;
constexpr ULONG kFileLinkInformationEx = 72;
constexpr ULONG kReplaceIfExistsFlag = 0x1; // FILE_RENAME_REPLACE_IF_EXISTS, FILE_LINK_REPLACE_IF_EXISTS

// FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION, laid out as the calling process's ntdll takes them.
struct RenameInformation {
    union {
        BOOLEAN replaceIfExists;
        ULONG flags;
    };
    HANDLE rootDirectory;
    ULONG fileNameLength; // bytes
    WCHAR fileName[1];
};

struct FileNtCalls {
    NtCreateFileFunction* createFile = nullptr;
    NtOpenFileFunction* openFile = nullptr;
    NtSetInformationFileFunction* setInformationFile = nullptr;
    NtDeleteFileFunction* deleteFile = nullptr;

    bool Complete() const {
        return createFile != nullptr && openFile != nullptr && setInformationFile != nullptr &&
               deleteFile != nullptr;
    }
};

FileNtCalls FindFileNtCalls();

} // namespace capture
