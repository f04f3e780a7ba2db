/* REGSYS.SYS: the registry-monitor driver behind the device \\.\REGMON.
 *
 * It keeps a log of framed text records (RegmonProtocol.h) in a non-paged ring of
 * REGMON_LOG_CAPACITY bytes (LogRing.h) and hands out whole records on IOCTL_READ_LOG. Lines enter
 * the log only while capture is on, from one of two sources, never both: its own registry callback
 * (RegistryCallback.h), where the kernel lets one register, or else IOCTL_APPEND_LOG_LINE(S), through
 * which the capture DLL in each process of a tracked setup appends a line for each registry write it
 * sees. A full log refuses an appended line; a line of the callback is counted as lost instead, and
 * a marker line reports the loss once there is room again. Each line of the callback goes once more,
 * naming its process by image and id, into a second, smaller ring of writer lines
 * (IOCTL_READ_WRITER_LINES), for the tracker.
 *
 * Every request runs at PASSIVE_LEVEL in the caller's context; one fast mutex guards the log
 * (RegsysState.h), and no request waits for anything else while holding it. Only SYSTEM and the
 * Administrators may open the device, and every buffer is checked (RequestChecks.h) before it is
 * touched; a read's caller buffer, which this device takes as given, is written only outside the
 * mutex.
 *
 * Built with REGSYS_STUCK_CAPTURE, it is a broken driver for the tests of its client: the stop code
 * fails and leaves capture on, and every read first logs one more line of its own, so that a reader
 * who waits for the log to run dry waits for ever. */
#include <ntifs.h>

#include "driver/MarkedProcesses.h"
#include "driver/DeviceSecurity.h"
#include "driver/RecordLogging.h"
#include "driver/RegistryCallback.h"
#include "driver/RegmonProtocol.h"
#include "driver/RegsysState.h"
#include "driver/RequestChecks.h"
#include "driver/UserCopy.h"

#ifndef REGSYS_REPORTED_VERSION
#define REGSYS_REPORTED_VERSION REGMON_VERSION
#endif

static const WCHAR kDeviceName[] = L"\\Device\\REGMON";
static const WCHAR kLinkName[] = L"\\DosDevices\\REGMON";

static REGSYS_LOG* LogOf(PDEVICE_OBJECT device) {
    return (REGSYS_LOG*)device->DeviceExtension;
}

/* The state that refuses appended records of `bytes`, or success; the caller holds the lock. */
static NTSTATUS RoomFor(const REGSYS_LOG* log, ULONG bytes) {
    if (!log->capturing)
        return STATUS_INVALID_DEVICE_STATE;
    if (!LogRingHasRoom(&log->ring, bytes))
        return STATUS_LOG_FILE_FULL;
    return STATUS_SUCCESS;
}

/* Whether the log takes its lines from the registry callback, and so none announced. Built with
 * REGSYS_CLAIMS_CALLBACK, the driver says so without any callback, for the tests of the programs that
 * must then announce nothing. */
static BOOLEAN LogsEveryProcess(const REGSYS_LOG* log) {
#ifdef REGSYS_CLAIMS_CALLBACK
    (void)log;
    return TRUE;
#else
    return log->callbackActive;
#endif
}

static NTSTATUS AppendLine(REGSYS_LOG* log, const char* text, ULONG length) {
    NTSTATUS status;
    if (LogsEveryProcess(log))
        return STATUS_NOT_SUPPORTED;
    if (text == NULL || !RegsysAppendLengthAcceptable(length))
        return STATUS_INVALID_PARAMETER;
    /* A NUL inside the text would end the line early for every reader. */
    if (memchr(text, 0, length) != NULL)
        return STATUS_INVALID_PARAMETER;
    ExAcquireFastMutex(&log->lock);
    status = RoomFor(log, REGMON_RECORD_SIZE(length));
    if (NT_SUCCESS(status))
        LogRingPut(&log->ring, text, length);
    ExReleaseFastMutex(&log->lock);
    return status;
}

/* All the batch's lines, in order, or none: a reader never sees half a batch. */
static NTSTATUS AppendLines(REGSYS_LOG* log, const char* text, ULONG length) {
    uint32_t recordBytes = 0;
    const char* line = text;
    const char* end = text + length;
    NTSTATUS status;
    if (LogsEveryProcess(log))
        return STATUS_NOT_SUPPORTED;
    if (RegsysBatchLines(text, length, &recordBytes) == 0)
        return STATUS_INVALID_PARAMETER;
    ExAcquireFastMutex(&log->lock);
    status = RoomFor(log, recordBytes);
    while (NT_SUCCESS(status) && line < end) {
        const char* lineEnd = (const char*)memchr(line, '\n', (size_t)(end - line));
        LogRingPut(&log->ring, line, (ULONG)(lineEnd - line));
        line = lineEnd + 1;
    }
    ExReleaseFastMutex(&log->lock);
    return status;
}

/* Moves whole records of `ring` (the log, or the writer lines) into `target` while they fit;
 * answers the bytes written. */
static ULONG TakeRecords(REGSYS_LOG* log, LogRing* ring, UCHAR* target, ULONG capacity) {
    ULONG written;
    ExAcquireFastMutex(&log->lock);
    written = LogRingTake(ring, target, capacity);
    ExReleaseFastMutex(&log->lock);
    return written;
}

#ifdef REGSYS_STUCK_CAPTURE
/* A query, which a reader's parser drops: the line is there to keep the log from running dry. */
static void LogOwnLine(REGSYS_LOG* log) {
    static const char line[] = "regsys.sys\tQueryValue\tHKLM\\Software\\Regsys\tSUCCESS\tstill logging";
    AppendLine(log, line, sizeof line - 1);
}
#endif

/* A new capture starts from an empty log: lines nobody read before the last stop belong to the
 * capture that ended, not to this one. Its HKCU is the hive of the user who starts it. */
static void StartCapture(REGSYS_LOG* log) {
    WCHAR* sid = NULL;
    ULONG sidUnits = 0;
    /* The processes of the last capture's tree are no longer the setup's. */
    RegsysReleaseMarks(log);
    if (log->callbackActive) {
        RegsysReleasePending(log);
        sid = (WCHAR*)ExAllocatePoolWithTag(NonPagedPool, REGSYS_SID_UNITS * sizeof(WCHAR), REGSYS_POOL_TAG);
        if (sid != NULL)
            sidUnits = RegsysCallerSid(sid);
    }
    ExAcquireFastMutex(&log->lock);
    LogRingReset(&log->ring);
    if (log->writerStorage != NULL)
        LogRingReset(&log->writers);
    if (sidUnits != 0)
        RtlCopyMemory(log->userSid, sid, sidUnits * sizeof(WCHAR));
    log->userSidUnits = sidUnits;
    RtlZeroMemory((void*)&log->counts, sizeof log->counts);
    log->capturing = TRUE;
    ExReleaseFastMutex(&log->lock);
    if (sid != NULL)
        ExFreePoolWithTag(sid, REGSYS_POOL_TAG);
}

#ifndef REGSYS_STUCK_CAPTURE
/* Deletions still waiting for their check belong to the capture that ends: checked before it does. */
static void StopCapture(REGSYS_LOG* log) {
    RegsysCheckPendingDeletions(log);
    ExAcquireFastMutex(&log->lock);
    log->capturing = FALSE;
    ExReleaseFastMutex(&log->lock);
    RegsysReleaseMarks(log);
}
#endif

static NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static ULONG Clamped(LONG count) {
    return count < 0 ? 0 : (ULONG)count;
}

static NTSTATUS QueryCaptureState(REGSYS_LOG* log, PIRP irp, void* system, ULONG outputLength) {
    REGMON_CAPTURE_STATE* state = (REGMON_CAPTURE_STATE*)system;
    if (system == NULL || outputLength < sizeof *state)
        return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlZeroMemory(state, sizeof *state);
    state->size = sizeof *state;
    state->version = REGMON_CAPTURE_STATE_VERSION;
    state->callbackActive = LogsEveryProcess(log) ? 1u : 0u;
    state->notifications = log->notifications;
    ExAcquireFastMutex(&log->lock);
    state->linesLostLogFull = log->ring.lostTotal;
    ExReleaseFastMutex(&log->lock);
    state->linesForbidden = Clamped(log->counts.forbidden);
    state->linesUnconvertible = Clamped(log->counts.unconvertible);
    state->linesUnmapped = Clamped(log->counts.unmapped);
    state->nameQueriesFailed = Clamped(log->counts.nameQueriesFailed);
    state->linesUnpaired = Clamped(log->counts.unpaired);
    state->deletionsUnchecked = Clamped(log->counts.deletionsUnchecked);
    return CompleteWith(irp, STATUS_SUCCESS, sizeof *state);
}

/* METHOD_NEITHER: the output is the caller's pointer as given. It must lie in user space, whatever
 * the requestor mode: no kernel component sends this device reads, and Wine's device host builds
 * every request as a kernel-mode one around a user-space buffer of its own. The records are moved
 * into a pool buffer under the mutex and written out after it is released, by a copy that turns a
 * fault into a failed request (UserCopy.h); the records a faulting read took are lost to it. */
static NTSTATUS ReadLog(REGSYS_LOG* log, LogRing* ring, PIRP irp, ULONG outputLength) {
    ULONG written, staged;
    UCHAR* staging;
    NTSTATUS status = STATUS_SUCCESS;
    UCHAR* target = (UCHAR*)irp->UserBuffer;
    if (!RegsysReadLengthAcceptable(outputLength))
        return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    if (!RegsysRangeInUserSpace((ULONG_PTR)target, outputLength,
                                RegsysUserSpaceBound((ULONG_PTR)MmUserProbeAddress, 8 * sizeof(void*))))
        return CompleteWith(irp, STATUS_INVALID_USER_BUFFER, 0);
    staged = RegsysReadStagingSize(outputLength);
    /* Filled under the log lock, which callbacks take at APC_LEVEL: non-paged. */
    staging = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, staged, REGSYS_POOL_TAG);
    if (staging == NULL)
        return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
#ifdef REGSYS_STUCK_CAPTURE
    LogOwnLine(log);
#endif
    RegsysCheckPendingDeletions(log);
    written = TakeRecords(log, ring, staging, staged);
    if (written != 0 && !RegsysCopyToUser(target, staging, written))
        status = STATUS_ACCESS_VIOLATION;
    ExFreePoolWithTag(staging, REGSYS_POOL_TAG);
    return CompleteWith(irp, status, NT_SUCCESS(status) ? written : 0);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    REGSYS_LOG* log = LogOf(device);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* system = irp->AssociatedIrp.SystemBuffer;

    switch (code) {
    case IOCTL_START_CAPTURE:
        StartCapture(log);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IOCTL_STOP_CAPTURE:
#ifdef REGSYS_STUCK_CAPTURE
        return CompleteWith(irp, STATUS_DEVICE_BUSY, 0);
#else
        StopCapture(log);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
#endif
    case IOCTL_READ_LOG:
        return ReadLog(log, &log->ring, irp, outputLength);
    case IOCTL_READ_WRITER_LINES:
        if (log->writerStorage == NULL)
            return CompleteWith(irp, STATUS_NOT_SUPPORTED, 0);
        return ReadLog(log, &log->writers, irp, outputLength);
    case IOCTL_SET_FILTER:
        if (system == NULL || !RegsysFilterLengthAcceptable(inputLength))
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        ExAcquireFastMutex(&log->lock);
        RtlCopyMemory(&log->filter, system, REGMON_FILTER_SIZE);
        ExReleaseFastMutex(&log->lock);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IOCTL_GET_VERSION:
        if (system == NULL || !RegsysVersionLengthAcceptable(outputLength))
            return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, 0);
        *(ULONG*)system = REGSYS_REPORTED_VERSION;
        return CompleteWith(irp, STATUS_SUCCESS, sizeof(ULONG));
    case IOCTL_QUERY_CAPTURE_STATE:
        return QueryCaptureState(log, irp, system, outputLength);
    case IOCTL_MARK_TREE_PROCESS:
        /* Only the callback's lines name processes by their image alone. */
        if (!LogsEveryProcess(log))
            return CompleteWith(irp, STATUS_NOT_SUPPORTED, 0);
        return CompleteWith(irp, RegsysMarkCurrentProcess(log), 0);
    case IOCTL_APPEND_LOG_LINE:
        return CompleteWith(irp, AppendLine(log, (const char*)system, inputLength), 0);
    case IOCTL_APPEND_LOG_LINES:
        return CompleteWith(irp, AppendLines(log, (const char*)system, inputLength), 0);
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return CompleteWith(irp, STATUS_SUCCESS, 0);
}

/* The callback goes first: until it is unregistered it may still use the log and its tables. */
static void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    PDEVICE_OBJECT device = driver->DeviceObject;
    if (device != NULL) {
        RegsysUnregisterCallback(LogOf(device));
        RegsysReleasePending(LogOf(device));
        RegsysReleaseMarks(LogOf(device));
    }
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    if (device != NULL) {
        REGSYS_LOG* log = LogOf(device);
        if (log->storage != NULL)
            ExFreePoolWithTag(log->storage, REGSYS_POOL_TAG);
        if (log->writerStorage != NULL)
            ExFreePoolWithTag(log->writerStorage, REGSYS_POOL_TAG);
        IoDeleteDevice(device);
    }
}

static void InitializeLog(REGSYS_LOG* log, UCHAR* storage) {
    RtlZeroMemory(log, sizeof *log);
    ExInitializeFastMutex(&log->lock);
    log->storage = storage;
    LogRingInit(&log->ring, storage, REGMON_LOG_CAPACITY);
    PendingTableInit(&log->paired);
    PendingTableInit(&log->deletions);
}

/* Only the callback's lines name a process by its image alone, and only they need their writer
 * lines. Without room for them the driver works all the same, and the tracker names no process of
 * the callback's lines. */
static void KeepWriterLines(REGSYS_LOG* log) {
    UCHAR* storage;
    if (!log->callbackActive)
        return;
    storage = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, REGMON_WRITER_LINES_CAPACITY, REGSYS_POOL_TAG);
    if (storage == NULL)
        return;
    ExAcquireFastMutex(&log->lock);
    LogRingInit(&log->writers, storage, REGMON_WRITER_LINES_CAPACITY);
    log->writerStorage = storage;
    ExReleaseFastMutex(&log->lock);
}

/* The callback registers last, once the device, its log and its link exist: no failure path comes
 * after it. Where it does not register, the driver works with appended lines alone. */
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING name, link;
    PDEVICE_OBJECT device = NULL;
    REGSYS_LOG* log;
    UCHAR* storage;
    NTSTATUS status;
    (void)registryPath;

    RtlInitUnicodeString(&name, kDeviceName);
    status = IoCreateDevice(driver, sizeof(REGSYS_LOG), &name, REGMON_DEVICE_TYPE, FILE_DEVICE_SECURE_OPEN,
                            FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    /* Nobody can open the device before it has a link and DriverEntry has returned. */
    status = RestrictDeviceToSystemAndAdministrators(device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    /* Callbacks store lines at APC_LEVEL under the log lock: the ring is non-paged. */
    storage = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, REGMON_LOG_CAPACITY, REGSYS_POOL_TAG);
    if (storage == NULL) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    log = LogOf(device);
    InitializeLog(log, storage);
    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(storage, REGSYS_POOL_TAG);
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = DriverUnload;
    RegsysDetectKernel(log);
    RegsysRegisterCallback(log, driver);
    KeepWriterLines(log);
    return STATUS_SUCCESS;
}
