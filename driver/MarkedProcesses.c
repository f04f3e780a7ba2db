#include "driver/MarkedProcesses.h"

static BOOLEAN IsMarkedLocked(const REGSYS_LOG* log, PEPROCESS process) {
    ULONG i;
    for (i = 0; i < log->markedCount; ++i) {
        if (log->marked[i] == process)
            return TRUE;
    }
    return FALSE;
}

NTSTATUS RegsysMarkCurrentProcess(REGSYS_LOG* log) {
    PEPROCESS process = PsGetCurrentProcess();
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN kept = FALSE;
    /* Taken before the lock: nothing under it may do more than move pointers. */
    ObReferenceObject(process);
    ExAcquireFastMutex(&log->lock);
    if (!log->capturing) {
        status = STATUS_DEVICE_NOT_READY;
    } else if (!IsMarkedLocked(log, process)) {
        if (log->markedCount >= REGMON_MARKED_PROCESSES) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            log->marked[log->markedCount++] = process;
            kept = TRUE;
        }
    }
    ExReleaseFastMutex(&log->lock);
    if (!kept)
        ObDereferenceObject(process);
    return status;
}

BOOLEAN RegsysIsMarked(REGSYS_LOG* log, PEPROCESS process) {
    BOOLEAN marked;
    ExAcquireFastMutex(&log->lock);
    marked = IsMarkedLocked(log, process);
    ExReleaseFastMutex(&log->lock);
    return marked;
}

void RegsysReleaseMarks(REGSYS_LOG* log) {
    for (;;) {
        PEPROCESS process = NULL;
        ExAcquireFastMutex(&log->lock);
        if (log->markedCount > 0)
            process = log->marked[--log->markedCount];
        ExReleaseFastMutex(&log->lock);
        if (process == NULL)
            return;
        /* The last reference of an ended process frees it here: never under the lock. */
        ObDereferenceObject(process);
    }
}
