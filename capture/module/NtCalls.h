// The few ntdll entries the capture calls or hooks, found at run time: the DLL links nothing but
// kernel32, so that loading it early into any process adds no other library to that process.
#pragma once

#include "common/Win32.h"

#include <winternl.h>

namespace capture {

typedef NTSTATUS(NTAPI NtSetValueKeyFunction)(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex,
                                              ULONG type, PVOID data, ULONG dataSize);
typedef NTSTATUS(NTAPI NtDeleteKeyFunction)(HANDLE key);
typedef NTSTATUS(NTAPI NtDeleteValueKeyFunction)(HANDLE key, PUNICODE_STRING valueName);
typedef NTSTATUS(NTAPI NtCreateKeyFunction)(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                            ULONG titleIndex, PUNICODE_STRING keyClass, ULONG options,
                                            PULONG disposition);
typedef NTSTATUS(NTAPI NtOpenKeyFunction)(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
typedef NTSTATUS(NTAPI NtQueryValueKeyFunction)(HANDLE key, PUNICODE_STRING valueName, ULONG informationClass,
                                                PVOID information, ULONG length, PULONG resultLength);
// NtEnumerateKey and NtEnumerateValueKey share this shape.
typedef NTSTATUS(NTAPI NtEnumerateFunction)(HANDLE key, ULONG index, ULONG informationClass,
                                            PVOID information, ULONG length, PULONG resultLength);
typedef NTSTATUS(NTAPI NtQueryKeyFunction)(HANDLE key, ULONG informationClass, PVOID information,
                                           ULONG length, PULONG resultLength);
typedef NTSTATUS(NTAPI NtCreateUserProcessFunction)(PHANDLE process, PHANDLE thread,
                                                    ACCESS_MASK processAccess, ACCESS_MASK threadAccess,
                                                    PVOID processAttributes, PVOID threadAttributes,
                                                    ULONG processFlags, ULONG threadFlags, PVOID parameters,
                                                    PVOID createInfo, PVOID attributeList);
typedef NTSTATUS(NTAPI NtCloseFunction)(HANDLE handle);
typedef NTSTATUS(NTAPI NtDuplicateObjectFunction)(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                                  PHANDLE target, ACCESS_MASK access, ULONG attributes,
                                                  ULONG options);
typedef NTSTATUS(NTAPI NtRenameKeyFunction)(HANDLE key, PUNICODE_STRING newName);
typedef NTSTATUS(NTAPI NtResumeThreadFunction)(HANDLE thread, PULONG previousCount);
typedef NTSTATUS(NTAPI NtOpenProcessTokenFunction)(HANDLE process, ACCESS_MASK access, PHANDLE token);
typedef NTSTATUS(NTAPI NtQueryInformationTokenFunction)(HANDLE token, int informationClass, PVOID information,
                                                        ULONG length, PULONG resultLength);
typedef NTSTATUS(NTAPI RtlConvertSidToUnicodeStringFunction)(PUNICODE_STRING text, PSID sid,
                                                             BOOLEAN allocate);

constexpr ULONG kKeyNameInformation = 3;
// NtCreateUserProcess's thread flag that leaves the new process's first thread suspended.
constexpr ULONG kThreadCreateSuspended = 0x1;

struct NtCalls {
    NtSetValueKeyFunction* setValueKey = nullptr;
    NtDeleteKeyFunction* deleteKey = nullptr;
    NtQueryKeyFunction* queryKey = nullptr;
    NtCreateUserProcessFunction* createUserProcess = nullptr; // null before Vista
    NtResumeThreadFunction* resumeThread = nullptr;
    NtOpenProcessTokenFunction* openProcessToken = nullptr;
    NtQueryInformationTokenFunction* queryInformationToken = nullptr;
    RtlConvertSidToUnicodeStringFunction* convertSidToText = nullptr;
    // Keeping the registry's old state (RegistryOldState.h).
    NtDeleteValueKeyFunction* deleteValueKey = nullptr;
    NtCreateKeyFunction* createKey = nullptr;
    NtOpenKeyFunction* openKey = nullptr;
    NtQueryValueKeyFunction* queryValueKey = nullptr;
    NtEnumerateFunction* enumerateKey = nullptr;
    NtEnumerateFunction* enumerateValueKey = nullptr;
    // What tells the key names kept by handle (KeyNameCache.h) that they may be stale.
    NtCloseFunction* close = nullptr;
    NtDuplicateObjectFunction* duplicateObject = nullptr;
    NtRenameKeyFunction* renameKey = nullptr; // null where the system has no renames

    // True when every entry the registry capture needs was found.
    bool HasRegistryCalls() const;
    // True when every entry that keeping the registry's old state needs was found.
    bool HasOldStateCalls() const;
};

NtCalls FindNtCalls();

// Sets `entry` to ntdll's export `name`, or to null where this system lacks it.
template <typename Function>
void FindNtEntry(HMODULE ntdll, const char* name, Function*& entry) {
    entry = reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name)));
}

} // namespace capture
