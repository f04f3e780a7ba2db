#include "driver/OperationRecord.h"

#include "driver/CaptureLine.h"
#include "driver/MarkedProcesses.h"
#include "driver/RequestChecks.h"
#include "driver/UserCopy.h"

/* Names longer than these are not names the log could hold a line of anyway. */
#define MAX_NAME_BYTES 65532u
#define FIRST_QUERY_BYTES 1024u

/* ZwQueryInformationProcess's class for the image's full NT path (XP and later). */
#define PROCESS_IMAGE_FILE_NAME_CLASS 27

static void* AllocateNonPaged(SIZE_T bytes) {
    return ExAllocatePoolWithTag(NonPagedPool, bytes == 0 ? 1 : bytes, REGSYS_POOL_TAG);
}

static void ReleaseText(UNICODE_STRING* text) {
    if (text->Buffer != NULL)
        ExFreePoolWithTag(text->Buffer, REGSYS_POOL_TAG);
    text->Buffer = NULL;
}

/* A copy of `length` bytes at `units` (kernel memory) as an owned text. */
static BOOLEAN OwnCopy(UNICODE_STRING* text, const WCHAR* units, ULONG length) {
    if (length > MAX_NAME_BYTES || (length & 1) != 0)
        return FALSE;
    text->Buffer = (PWCH)AllocateNonPaged(length);
    if (text->Buffer == NULL)
        return FALSE;
    if (length != 0)
        RtlCopyMemory(text->Buffer, units, length);
    text->Length = (USHORT)length;
    text->MaximumLength = (USHORT)length;
    return TRUE;
}

static ULONG_PTR UserSpaceBound(void) {
    return (ULONG_PTR)RegsysUserSpaceBound((ULONG_PTR)MmUserProbeAddress, 8 * sizeof(void*));
}

/* Whether the bytes a notification points at may be read for the log (RequestChecks.h): a program
 * that made the operation from user mode must not get kernel memory of its choosing copied there. */
static BOOLEAN Readable(const void* start, ULONG length, BOOLEAN kernelHolds) {
    return RegsysNotifiedRangeReadable((ULONG_PTR)start, length, UserSpaceBound(),
                                       ExGetPreviousMode() == UserMode, kernelHolds) != 0;
}

/* The value name's string structure and its characters may each be the caller's own, in user memory
 * the caller may change or free meanwhile, or the kernel's capture of them: before Windows 8 the
 * characters may still be the caller's, and ReactOS's NtSetValueKey captures both before it calls
 * back. Both are read by the guarded copy, and a fault refuses the name. The structure's pointer
 * comes from the notification, which the kernel holds; the characters' pointer is vouched for by the
 * kernel only when the structure itself lies in system space. */
static BOOLEAN CopyValueName(UNICODE_STRING* text, const UNICODE_STRING* given) {
    UNICODE_STRING shell;
    BOOLEAN shellIsKernels;
    if (given == NULL)
        return OwnCopy(text, NULL, 0);
    if (!Readable(given, sizeof *given, TRUE) || !RegsysCopyToUser(&shell, given, sizeof shell))
        return FALSE;
    shellIsKernels = !RegsysRangeInUserSpace((ULONG_PTR)given, sizeof *given, UserSpaceBound());
    if (shell.Length > MAX_NAME_BYTES || (shell.Length & 1) != 0 ||
        (shell.Buffer == NULL && shell.Length != 0) || !Readable(shell.Buffer, shell.Length, shellIsKernels))
        return FALSE;
    text->Buffer = (PWCH)AllocateNonPaged(shell.Length);
    if (text->Buffer == NULL)
        return FALSE;
    if (shell.Length != 0 && !RegsysCopyToUser(text->Buffer, shell.Buffer, shell.Length)) {
        ReleaseText(text);
        return FALSE;
    }
    text->Length = shell.Length;
    text->MaximumLength = shell.Length;
    return TRUE;
}

/* A query that writes a name as a UNICODE_STRING followed by its characters into `size` bytes at
 * `answer`, and reports in *needed the bytes the whole answer takes. */
typedef NTSTATUS(NTAPI* NAME_QUERY)(PVOID subject, PUNICODE_STRING answer, ULONG size, PULONG needed);

/* The name a query answers, asked once more with the size it asks for when the first buffer is too
 * small. Success alone proves nothing: ObQueryNameString may report it with a name cut to the
 * buffer, and then reports the length the whole name needs. Answers STATUS_SUCCESS once the name is
 * in `text`, else the query's own failure, or STATUS_UNSUCCESSFUL when the answer was unusable. */
static NTSTATUS QueryName(NAME_QUERY query, PVOID subject, UNICODE_STRING* text) {
    ULONG size = FIRST_QUERY_BYTES, needed = 0;
    int attempt;
    for (attempt = 0; attempt < 2; ++attempt) {
        PUNICODE_STRING answer = (PUNICODE_STRING)AllocateNonPaged(size);
        NTSTATUS status;
        BOOLEAN copied = FALSE, whole;
        if (answer == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        status = query(subject, answer, size, &needed);
        whole = NT_SUCCESS(status) && needed <= size && answer->Length <= size - sizeof *answer;
        if (whole)
            copied = OwnCopy(text, answer->Buffer, answer->Length);
        ExFreePoolWithTag(answer, REGSYS_POOL_TAG);
        if (whole)
            return copied ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        if (!NT_SUCCESS(status) && status != STATUS_INFO_LENGTH_MISMATCH &&
            status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL)
            return status;
        if (needed <= size || needed > MAX_NAME_BYTES + sizeof *answer)
            return STATUS_UNSUCCESSFUL;
        size = needed;
    }
    return STATUS_UNSUCCESSFUL;
}

/* OBJECT_NAME_INFORMATION is one UNICODE_STRING followed by its characters. */
static NTSTATUS NTAPI ObjectNameQuery(PVOID object, PUNICODE_STRING answer, ULONG size, PULONG needed) {
    return ObQueryNameString(object, (POBJECT_NAME_INFORMATION)answer, size, needed);
}

static NTSTATUS NTAPI CurrentImageQuery(PVOID unused, PUNICODE_STRING answer, ULONG size, PULONG needed) {
    (void)unused;
    return ZwQueryInformationProcess(NtCurrentProcess(), (PROCESSINFOCLASS)PROCESS_IMAGE_FILE_NAME_CLASS,
                                     answer, size, needed);
}

/* STATUS_SUCCESS once the key's name is in `text`. A key deleted before the operation answers
 * STATUS_KEY_DELETED, as every other operation on it does. */
static NTSTATUS CopyKeyName(REGSYS_LOG* log, PVOID keyObject, UNICODE_STRING* text) {
    if (keyObject == NULL)
        return STATUS_INVALID_PARAMETER;
    if (log->getKeyObjectId != NULL) {
        PCUNICODE_STRING name = NULL;
        const NTSTATUS status = log->getKeyObjectId(&log->cookie, keyObject, NULL, &name);
        if (!NT_SUCCESS(status))
            return status;
        if (name == NULL)
            return STATUS_UNSUCCESSFUL;
        return OwnCopy(text, name->Buffer, name->Length) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    return QueryName(ObjectNameQuery, keyObject, text);
}

/* The system process has no image file; the log's readers know it as "System". */
static BOOLEAN CopyProcessImageName(REGSYS_LOG* log, PEPROCESS process, UNICODE_STRING* text) {
    static const WCHAR kSystem[] = L"System";
    if (process == PsInitialSystemProcess)
        return OwnCopy(text, kSystem, sizeof kSystem - sizeof(WCHAR));
    if (log->locateImageName != NULL) {
        PUNICODE_STRING name = NULL;
        BOOLEAN copied;
        if (!NT_SUCCESS(log->locateImageName(process, &name)) || name == NULL)
            return FALSE;
        copied = OwnCopy(text, name->Buffer, name->Length);
        ExFreePool(name);
        return copied;
    }
    return NT_SUCCESS(QueryName(CurrentImageQuery, NULL, text));
}

/* ":1234" after the image's name. The writer lines name every process so; the log only a process of
 * the setup's tree (MarkedProcesses.h), as the capture DLL names the processes it logs. */
static BOOLEAN AppendProcessId(UNICODE_STRING* text, ULONG_PTR processId, USHORT* idUnits) {
    WCHAR digits[24];
    ULONG count = 0, i;
    const ULONG units = text->Length / sizeof(WCHAR);
    ULONG length;
    WCHAR* joined;
    do {
        digits[count++] = (WCHAR)(L'0' + processId % 10);
        processId /= 10;
    } while (processId != 0 && count < sizeof digits / sizeof digits[0]);
    length = (units + 1 + count) * sizeof(WCHAR);
    if (length > MAX_NAME_BYTES)
        return FALSE;
    joined = (WCHAR*)AllocateNonPaged(length);
    if (joined == NULL)
        return FALSE;
    RtlCopyMemory(joined, text->Buffer, text->Length);
    joined[units] = L':';
    for (i = 0; i < count; ++i)
        joined[units + 1 + i] = digits[count - 1 - i];
    ReleaseText(text);
    text->Buffer = joined;
    text->Length = text->MaximumLength = (USHORT)length;
    *idUnits = (USHORT)(1 + count);
    return TRUE;
}

/* The image's name and id, and whether the process is one of the setup's tree. */
static BOOLEAN CopyImageName(REGSYS_LOG* log, REGSYS_RECORD* record) {
    PEPROCESS process = PsGetCurrentProcess();
    if (!CopyProcessImageName(log, process, &record->image))
        return FALSE;
    record->marked = process != PsInitialSystemProcess && RegsysIsMarked(log, process);
    return AppendProcessId(&record->image, (ULONG_PTR)PsGetCurrentProcessId(), &record->idUnits);
}

void RegsysFreeRecord(REGSYS_RECORD* record) {
    if (record == NULL)
        return;
    ReleaseText(&record->image);
    ReleaseText(&record->key);
    ReleaseText(&record->value);
    ExFreePoolWithTag(record, REGSYS_POOL_TAG);
}

REGSYS_RECORD* RegsysCollectRecord(REGSYS_LOG* log, int operation, PVOID keyObject,
                                   const UNICODE_STRING* valueName, ULONG valueType, ULONG dataLength) {
    REGSYS_RECORD* record = (REGSYS_RECORD*)AllocateNonPaged(sizeof *record);
    NTSTATUS keyStatus = STATUS_UNSUCCESSFUL;
    if (record == NULL) {
        RegsysCount(&log->counts.nameQueriesFailed);
        return NULL;
    }
    RtlZeroMemory(record, sizeof *record);
    record->operation = operation;
    record->valueType = valueType;
    record->dataLength = dataLength;
    if (CopyImageName(log, record) && NT_SUCCESS(keyStatus = CopyKeyName(log, keyObject, &record->key)) &&
        CopyValueName(&record->value, operation == CAPTURE_SET_VALUE ? valueName : NULL))
        return record;
    /* An operation on a key that was already deleted changes nothing: a write there fails, and a
     * second deletion finds nothing left to delete. Nothing is lost by leaving it out. */
    if (keyStatus != STATUS_KEY_DELETED)
        RegsysCount(&log->counts.nameQueriesFailed);
    RegsysFreeRecord(record);
    return NULL;
}
