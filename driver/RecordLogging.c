#include "driver/RecordLogging.h"

#include "driver/CaptureLine.h"

/* Too big for the kernel stack: one per operation, from non-paged pool, since the ANSI texts are
 * read under the log lock. */
typedef struct {
    uint16_t sid[REGSYS_SID_UNITS];
    uint16_t line[CAPTURE_LINE_MAX_UNITS];
    uint16_t roundTrip[CAPTURE_LINE_MAX_UNITS];
    char ansi[REGMON_MAX_LINE];
    char writerAnsi[REGMON_MAX_LINE];
} LINE_SCRATCH;

void RegsysCount(volatile LONG* count) {
    LONG seen = *count;
    while (seen != MAXLONG) {
        const LONG before = InterlockedCompareExchange(count, seen + 1, seen);
        if (before == seen)
            return;
        seen = before;
    }
}

static CaptureText TextOf(const UNICODE_STRING* text) {
    CaptureText result;
    result.units = (const uint16_t*)text->Buffer;
    result.length = text->Length / sizeof(WCHAR);
    return result;
}

/* The user SID as the capture began, copied under the lock: a new capture may change it meanwhile. */
static CaptureText CopyUserSid(REGSYS_LOG* log, uint16_t* target) {
    CaptureText sid;
    ExAcquireFastMutex(&log->lock);
    RtlCopyMemory(target, log->userSid, log->userSidUnits * sizeof(WCHAR));
    sid.length = log->userSidUnits;
    ExReleaseFastMutex(&log->lock);
    sid.units = target;
    return sid;
}

static void CountRefusal(REGSYS_LOG* log, CaptureResult result) {
    if (result == CAPTURE_FORBIDDEN_CHARACTER)
        RegsysCount(&log->counts.forbidden);
    else if (result == CAPTURE_UNMAPPED)
        RegsysCount(&log->counts.unmapped);
    else
        RegsysCount(&log->counts.unconvertible); /* too long, in either form */
}

/* The ANSI form of `units` line units into `target`; zero unless it converts back to the very same
 * units (a character the code page lacks turns into another) and fits a log line. */
static ULONG ConvertToAnsi(LINE_SCRATCH* scratch, ULONG units, char* target) {
    ULONG bytes = 0, back = 0;
    const ULONG unitBytes = units * sizeof(WCHAR);
    if (!NT_SUCCESS(RtlUnicodeToMultiByteSize(&bytes, (PWCH)scratch->line, unitBytes)) || bytes == 0 ||
        bytes > REGMON_MAX_LINE)
        return 0;
    if (!NT_SUCCESS(RtlUnicodeToMultiByteN(target, REGMON_MAX_LINE, &bytes, (PCWCH)scratch->line, unitBytes)))
        return 0;
    if (!NT_SUCCESS(RtlMultiByteToUnicodeN((PWCH)scratch->roundTrip, sizeof scratch->roundTrip, &back, target,
                                           bytes)) ||
        back != unitBytes || RtlCompareMemory(scratch->roundTrip, scratch->line, unitBytes) != unitBytes)
        return 0;
    return bytes;
}

/* The line of `event` in ANSI into `target`: its length, or zero with *result saying why not
 * (CAPTURE_OK for a line that has no ANSI form or is too long in it). */
static ULONG BuildAnsiLine(LINE_SCRATCH* scratch, const CaptureEvent* event, CaptureText sid, char* target,
                           CaptureResult* result) {
    uint32_t units = 0;
    *result = CaptureBuildLine(event, sid, scratch->line, CAPTURE_LINE_MAX_UNITS, &units);
    return *result == CAPTURE_OK ? ConvertToAnsi(scratch, units, target) : 0;
}

/* The log's line and the writer line of one operation, stored together, so that both keep the same
 * order. A writer line that could not be made (a name at the limit of a line's length, which the id
 * pushes past it) is counted among the writer lines lost. */
static void StoreLines(REGSYS_LOG* log, const char* line, ULONG length, const char* writerLine,
                       ULONG writerLength) {
    ExAcquireFastMutex(&log->lock);
    if (log->capturing) {
        LogRingStoreOrCount(&log->ring, line, length);
        if (log->writerStorage != NULL && writerLength != 0)
            LogRingStoreOrCount(&log->writers, writerLine, writerLength);
        else if (log->writerStorage != NULL)
            LogRingCountLost(&log->writers);
    }
    ExReleaseFastMutex(&log->lock);
}

void RegsysLogRecord(REGSYS_LOG* log, const REGSYS_RECORD* record, NTSTATUS status) {
    LINE_SCRATCH* scratch;
    CaptureEvent event;
    CaptureText sid;
    CaptureResult result;
    ULONG bytes, writerBytes;
    if (!log->capturing)
        return;
    scratch = (LINE_SCRATCH*)ExAllocatePoolWithTag(NonPagedPool, sizeof *scratch, REGSYS_POOL_TAG);
    if (scratch == NULL) {
        RegsysCount(&log->counts.nameQueriesFailed);
        return;
    }
    event.processImage = TextOf(&record->image);
    event.operation = record->operation;
    event.keyName = TextOf(&record->key);
    event.valueName = TextOf(&record->value);
    event.valueType = record->valueType;
    event.dataLength = record->dataLength;
    event.status = (uint32_t)status;
    sid = CopyUserSid(log, scratch->sid);
    /* The image and id, as the writer lines always name a process. */
    writerBytes = BuildAnsiLine(scratch, &event, sid, scratch->writerAnsi, &result);
    if (record->marked) {
        bytes = writerBytes;
        RtlCopyMemory(scratch->ansi, scratch->writerAnsi, bytes);
    } else {
        event.processImage.length -= record->idUnits;
        bytes = BuildAnsiLine(scratch, &event, sid, scratch->ansi, &result);
    }
    if (result != CAPTURE_OK)
        CountRefusal(log, result);
    else if (bytes == 0)
        RegsysCount(&log->counts.unconvertible);
    else
        StoreLines(log, scratch->ansi, bytes, scratch->writerAnsi, writerBytes);
    ExFreePoolWithTag(scratch, REGSYS_POOL_TAG);
}

/* Only a name that no longer exists proves the deletion; any other failure to open (no memory, a
 * denied access) proves nothing, and the line is dropped. */
static BOOLEAN KeyIsGone(const UNICODE_STRING* kernelName) {
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    NTSTATUS status;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)kernelName,
                               OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (NT_SUCCESS(status))
        ZwClose(key);
    return status == STATUS_OBJECT_NAME_NOT_FOUND;
}

static REGSYS_RECORD* ClaimOldest(REGSYS_LOG* log, PendingTable* table) {
    REGSYS_RECORD* record;
    ExAcquireFastMutex(&log->lock);
    record = (REGSYS_RECORD*)PendingTableClaimOldest(table);
    ExReleaseFastMutex(&log->lock);
    return record;
}

void RegsysCheckPendingDeletions(REGSYS_LOG* log) {
    REGSYS_RECORD* record;
    if (!log->callbackActive)
        return;
    while ((record = ClaimOldest(log, &log->deletions)) != NULL) {
        if (KeyIsGone(&record->key))
            RegsysLogRecord(log, record, STATUS_SUCCESS);
        RegsysFreeRecord(record);
    }
}

void RegsysReleasePending(REGSYS_LOG* log) {
    REGSYS_RECORD* record;
    while ((record = ClaimOldest(log, &log->deletions)) != NULL)
        RegsysFreeRecord(record);
    while ((record = ClaimOldest(log, &log->paired)) != NULL)
        RegsysFreeRecord(record);
}
