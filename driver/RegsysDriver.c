/* REGSYS.SYS: the registry-monitor driver behind the device \\.\REGMON.
 *
 * It keeps a log of framed text records (RegmonProtocol.h) in a ring of REGMON_LOG_CAPACITY bytes
 * and hands out whole records on IOCTL_READ_LOG. Lines enter the log only while capture is on, and
 * only through IOCTL_APPEND_LOG_LINE: this driver registers no registry callbacks, so the capture
 * DLL in each process of a tracked setup appends a line for each registry write it sees. A full log
 * refuses new lines and keeps what it holds.
 *
 * Every request runs at PASSIVE_LEVEL in the caller's context; one fast mutex guards the log, and
 * no request waits for anything else while holding it. Only SYSTEM and the Administrators may open
 * the device, and every buffer is checked (RequestChecks.h) before it is touched; a read's caller
 * buffer, which this device takes as given, is written only outside the mutex.
 *
 * Built with REGSYS_STUCK_CAPTURE, it is a broken driver for the tests of its client: the stop code
 * fails and leaves capture on, and every read first logs one more line of its own, so that a reader
 * who waits for the log to run dry waits for ever. */
#include <ntddk.h>

#include "driver/DeviceSecurity.h"
#include "driver/RegmonProtocol.h"
#include "driver/RequestChecks.h"
#include "driver/UserCopy.h"

#ifndef REGSYS_REPORTED_VERSION
#define REGSYS_REPORTED_VERSION REGMON_VERSION
#endif

#define REGSYS_POOL_TAG 0x73676552 /* 'Regs' */

typedef struct {
    FAST_MUTEX lock;
    UCHAR* ring;
    ULONG head; /* offset of the oldest record */
    ULONG used; /* bytes of records held, starting at head and wrapping */
    BOOLEAN capturing;
    REGMON_FILTER filter;
} REGSYS_LOG;

static const WCHAR kDeviceName[] = L"\\Device\\REGMON";
static const WCHAR kLinkName[] = L"\\DosDevices\\REGMON";

static REGSYS_LOG* LogOf(PDEVICE_OBJECT device) {
    return (REGSYS_LOG*)device->DeviceExtension;
}

/* Copies into the ring at `at`, wrapping at its end. */
static void RingPut(REGSYS_LOG* log, ULONG at, const void* source, ULONG size) {
    ULONG first = REGMON_LOG_CAPACITY - at;
    if (first > size)
        first = size;
    RtlCopyMemory(log->ring + at, source, first);
    RtlCopyMemory(log->ring, (const UCHAR*)source + first, size - first);
}

/* Copies out of the ring from `at`, wrapping at its end. */
static void RingGet(const REGSYS_LOG* log, ULONG at, void* target, ULONG size) {
    ULONG first = REGMON_LOG_CAPACITY - at;
    if (first > size)
        first = size;
    RtlCopyMemory(target, log->ring + at, first);
    RtlCopyMemory((UCHAR*)target + first, log->ring, size - first);
}

static ULONG RingOffset(ULONG base, ULONG distance) {
    return (ULONG)(((ULONGLONG)base + distance) % REGMON_LOG_CAPACITY);
}

/* Puts one record behind the others; the caller holds the lock and made sure it fits. */
static void PutRecord(REGSYS_LOG* log, const char* text, ULONG length) {
    static const UCHAR zeros[4] = {0, 0, 0, 0};
    const ULONG record = REGMON_RECORD_SIZE(length);
    const ULONG at = RingOffset(log->head, log->used);
    RingPut(log, at, &record, sizeof record);
    RingPut(log, RingOffset(at, sizeof record), text, length);
    RingPut(log, RingOffset(at, sizeof record + length), zeros, record - sizeof record - length);
    log->used += record;
}

/* The state that refuses `bytes` of new records, or success; the caller holds the lock. */
static NTSTATUS RoomFor(const REGSYS_LOG* log, ULONG bytes) {
    if (!log->capturing)
        return STATUS_INVALID_DEVICE_STATE;
    if (REGMON_LOG_CAPACITY - log->used < bytes)
        return STATUS_LOG_FILE_FULL;
    return STATUS_SUCCESS;
}

static NTSTATUS AppendLine(REGSYS_LOG* log, const char* text, ULONG length) {
    NTSTATUS status;
    if (text == NULL || !RegsysAppendLengthAcceptable(length))
        return STATUS_INVALID_PARAMETER;
    /* A NUL inside the text would end the line early for every reader. */
    if (memchr(text, 0, length) != NULL)
        return STATUS_INVALID_PARAMETER;
    ExAcquireFastMutex(&log->lock);
    status = RoomFor(log, REGMON_RECORD_SIZE(length));
    if (NT_SUCCESS(status))
        PutRecord(log, text, length);
    ExReleaseFastMutex(&log->lock);
    return status;
}

/* All the batch's lines, in order, or none: a reader never sees half a batch. */
static NTSTATUS AppendLines(REGSYS_LOG* log, const char* text, ULONG length) {
    uint32_t recordBytes = 0;
    const char* line = text;
    const char* end = text + length;
    NTSTATUS status;
    if (RegsysBatchLines(text, length, &recordBytes) == 0)
        return STATUS_INVALID_PARAMETER;
    ExAcquireFastMutex(&log->lock);
    status = RoomFor(log, recordBytes);
    while (NT_SUCCESS(status) && line < end) {
        const char* lineEnd = (const char*)memchr(line, '\n', (size_t)(end - line));
        PutRecord(log, line, (ULONG)(lineEnd - line));
        line = lineEnd + 1;
    }
    ExReleaseFastMutex(&log->lock);
    return status;
}

/* Moves whole records into `target` while they fit; answers the bytes written. */
static ULONG TakeRecords(REGSYS_LOG* log, UCHAR* target, ULONG capacity) {
    ULONG written = 0, record;
    ExAcquireFastMutex(&log->lock);
    while (log->used >= REGMON_RECORD_HEADER_SIZE) {
        RingGet(log, log->head, &record, sizeof record);
        if (record > capacity - written)
            break;
        RingGet(log, log->head, target + written, record);
        written += record;
        log->head = RingOffset(log->head, record);
        log->used -= record;
    }
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

static void SetCapture(REGSYS_LOG* log, BOOLEAN on) {
    ExAcquireFastMutex(&log->lock);
    if (on) {
        /* A new capture starts from an empty log: lines nobody read before the last stop belong
         * to the capture that ended, not to this one. */
        log->head = 0;
        log->used = 0;
    }
    log->capturing = on;
    ExReleaseFastMutex(&log->lock);
}

static NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* METHOD_NEITHER: the output is the caller's pointer as given. It must lie in user space, whatever
 * the requestor mode: no kernel component sends this device reads, and Wine's device host builds
 * every request as a kernel-mode one around a user-space buffer of its own. The records are moved
 * into a pool buffer under the mutex and written out after it is released, by a copy that turns a
 * fault into a failed request (UserCopy.h); the records a faulting read took are lost to it. */
static NTSTATUS ReadLog(REGSYS_LOG* log, PIRP irp, ULONG outputLength) {
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
    staging = (UCHAR*)ExAllocatePoolWithTag(PagedPool, staged, REGSYS_POOL_TAG);
    if (staging == NULL)
        return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
#ifdef REGSYS_STUCK_CAPTURE
    LogOwnLine(log);
#endif
    written = TakeRecords(log, staging, staged);
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
        SetCapture(log, TRUE);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IOCTL_STOP_CAPTURE:
#ifdef REGSYS_STUCK_CAPTURE
        return CompleteWith(irp, STATUS_DEVICE_BUSY, 0);
#else
        SetCapture(log, FALSE);
        return CompleteWith(irp, STATUS_SUCCESS, 0);
#endif
    case IOCTL_READ_LOG:
        return ReadLog(log, irp, outputLength);
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

static void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    PDEVICE_OBJECT device = driver->DeviceObject;
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    if (device != NULL) {
        REGSYS_LOG* log = LogOf(device);
        if (log->ring != NULL)
            ExFreePoolWithTag(log->ring, REGSYS_POOL_TAG);
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING name, link;
    PDEVICE_OBJECT device = NULL;
    REGSYS_LOG* log;
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
    log = LogOf(device);
    RtlZeroMemory(log, sizeof *log);
    ExInitializeFastMutex(&log->lock);
    log->ring = (UCHAR*)ExAllocatePoolWithTag(PagedPool, REGMON_LOG_CAPACITY, REGSYS_POOL_TAG);
    if (log->ring == NULL) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(log->ring, REGSYS_POOL_TAG);
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
