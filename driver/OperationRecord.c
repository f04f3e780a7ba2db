#include "driver/OperationRecord.h"

#include "driver/CaptureLine.h"
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

/* Whether a program that made the operation from user mode could name these bytes itself: a name it
 * passed may not point into kernel memory, which would then be copied into the log. */
static BOOLEAN InCallersReach(const void* start, ULONG length) {
    if (ExGetPreviousMode() != UserMode || length == 0)
        return TRUE;
    return RegsysRangeInUserSpace((ULONG_PTR)start, length,
                                  RegsysUserSpaceBound((ULONG_PTR)MmUserProbeAddress, 8 * sizeof(void*))) !=
           0;
}

/* Before Windows 8 the kernel hands the value name on as the caller passed it, possibly in user
 * memory the caller may change or free meanwhile: both the string and its units are copied by the
 * guarded copy, and a fault refuses the name. */
static BOOLEAN CopyValueName(UNICODE_STRING* text, const UNICODE_STRING* given) {
    UNICODE_STRING shell;
    if (given == NULL)
        return OwnCopy(text, NULL, 0);
    if (!InCallersReach(given, sizeof *given) || !RegsysCopyToUser(&shell, given, sizeof shell))
        return FALSE;
    if (shell.Length > MAX_NAME_BYTES || (shell.Length & 1) != 0 ||
        (shell.Buffer == NULL && shell.Length != 0) || !InCallersReach(shell.Buffer, shell.Length))
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

/* ObQueryNameString, with its answer's length checked: it may report success with a name cut to
 * the buffer, and then reports the length the whole name needs. */
static BOOLEAN QueryObjectName(PVOID object, UNICODE_STRING* text) {
    ULONG size = FIRST_QUERY_BYTES, needed = 0;
    int attempt;
    for (attempt = 0; attempt < 2; ++attempt) {
        POBJECT_NAME_INFORMATION info = (POBJECT_NAME_INFORMATION)AllocateNonPaged(size);
        NTSTATUS status;
        BOOLEAN copied = FALSE, whole;
        if (info == NULL)
            return FALSE;
        status = ObQueryNameString(object, info, size, &needed);
        whole = NT_SUCCESS(status) && needed <= size && info->Name.Length <= size - sizeof *info;
        if (whole)
            copied = OwnCopy(text, info->Name.Buffer, info->Name.Length);
        ExFreePoolWithTag(info, REGSYS_POOL_TAG);
        if (whole)
            return copied;
        if (needed <= size || needed > MAX_NAME_BYTES + sizeof *info)
            return FALSE;
        size = needed;
    }
    return FALSE;
}

static BOOLEAN CopyKeyName(REGSYS_LOG* log, PVOID keyObject, UNICODE_STRING* text) {
    if (keyObject == NULL)
        return FALSE;
    if (log->getKeyObjectId != NULL) {
        PCUNICODE_STRING name = NULL;
        if (!NT_SUCCESS(log->getKeyObjectId(&log->cookie, keyObject, NULL, &name)) || name == NULL)
            return FALSE;
        return OwnCopy(text, name->Buffer, name->Length);
    }
    return QueryObjectName(keyObject, text);
}

static BOOLEAN QueryCurrentImage(UNICODE_STRING* text) {
    ULONG size = FIRST_QUERY_BYTES, needed = 0;
    int attempt;
    for (attempt = 0; attempt < 2; ++attempt) {
        PUNICODE_STRING info = (PUNICODE_STRING)AllocateNonPaged(size);
        NTSTATUS status;
        BOOLEAN copied = FALSE, whole;
        if (info == NULL)
            return FALSE;
        status = ZwQueryInformationProcess(
            NtCurrentProcess(), (PROCESSINFOCLASS)PROCESS_IMAGE_FILE_NAME_CLASS, info, size, &needed);
        whole = NT_SUCCESS(status) && info->Length <= size - sizeof *info;
        if (whole)
            copied = OwnCopy(text, info->Buffer, info->Length);
        ExFreePoolWithTag(info, REGSYS_POOL_TAG);
        if (whole)
            return copied;
        if (needed <= size || needed > MAX_NAME_BYTES + sizeof *info)
            return FALSE;
        size = needed;
    }
    return FALSE;
}

/* The system process has no image file; the log's readers know it as "System". */
static BOOLEAN CopyImageName(REGSYS_LOG* log, UNICODE_STRING* text) {
    static const WCHAR kSystem[] = L"System";
    PEPROCESS process = PsGetCurrentProcess();
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
    return QueryCurrentImage(text);
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
    if (record == NULL)
        return NULL;
    RtlZeroMemory(record, sizeof *record);
    record->operation = operation;
    record->valueType = valueType;
    record->dataLength = dataLength;
    if (!CopyImageName(log, &record->image) || !CopyKeyName(log, keyObject, &record->key) ||
        !CopyValueName(&record->value, operation == CAPTURE_SET_VALUE ? valueName : NULL)) {
        RegsysCount(&log->counts.nameQueriesFailed);
        RegsysFreeRecord(record);
        return NULL;
    }
    return record;
}
