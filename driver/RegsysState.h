/* The state of the REGMON device, kept in its (non-paged) device extension, and what the request
 * dispatch and the registry callback share of it.
 *
 * Locking: `lock`, a fast mutex, guards the fields marked "under lock". A fast mutex may be taken
 * at APC_LEVEL, where registry callbacks have been seen to run, and whatever it guards is
 * non-paged. Nothing under it waits, queries a name or touches a caller's buffer. The counts are
 * changed with interlocked operations only. Fields marked "set once" are written by DriverEntry
 * before the callback is registered and the device can be opened, and only read afterwards. */
#ifndef ORVANE_DRIVER_REGSYS_STATE_H
#define ORVANE_DRIVER_REGSYS_STATE_H

#include <ntifs.h>

#include "driver/LogRing.h"
#include "driver/PendingTable.h"
#include "driver/RegmonProtocol.h"

#define REGSYS_POOL_TAG 0x73676552 /* 'Regs' */

/* "S-1-5-21-" and up to fifteen 10-digit sub-authorities fit with room to spare. */
#define REGSYS_SID_UNITS 192

typedef NTSTATUS(NTAPI* REGSYS_GET_KEY_OBJECT_ID)(PLARGE_INTEGER cookie, PVOID object, PULONG_PTR objectId,
                                                  PCUNICODE_STRING* objectName);
typedef NTSTATUS(NTAPI* REGSYS_LOCATE_IMAGE_NAME)(PEPROCESS process, PUNICODE_STRING* imageName);

/* Lines the callback left out, by reason (REGMON_CAPTURE_STATE). */
typedef struct {
    volatile LONG forbidden;
    volatile LONG unconvertible;
    volatile LONG unmapped;
    volatile LONG nameQueriesFailed;
    volatile LONG unpaired;
    volatile LONG deletionsUnchecked;
} REGSYS_COUNTS;

typedef struct {
    FAST_MUTEX lock;
    UCHAR* storage; /* set once: the ring's non-paged bytes */
    LogRing ring;   /* under lock */
    /* The writer lines (IOCTL_READ_WRITER_LINES): null storage where no callback registered. Set
     * under lock once the callback registered, before anyone can open the device; then as above. */
    UCHAR* writerStorage;
    LogRing writers;
    volatile BOOLEAN capturing; /* under lock; the callback may read it without, see RegistryCallback.c */
    REGMON_FILTER filter;       /* under lock */
    WCHAR userSid[REGSYS_SID_UNITS]; /* under lock: the HKCU user of the capture */
    ULONG userSidUnits;              /* under lock */
    PendingTable paired;             /* under lock: pre-notifications waiting for their post (2003) */
    PendingTable deletions;          /* under lock: deletions waiting for their check (XP x86) */
    REGSYS_COUNTS counts;
    /* Under lock: the processes of the setup's tree (MarkedProcesses.h), each referenced. */
    PEPROCESS marked[REGMON_MARKED_PROCESSES];
    ULONG markedCount;
    /* Set once. */
    ULONG notifications; /* REGMON_NOTIFY_* */
    BOOLEAN callbackActive;
    LARGE_INTEGER cookie;
    REGSYS_GET_KEY_OBJECT_ID getKeyObjectId;  /* null before Vista, and under Wine */
    REGSYS_LOCATE_IMAGE_NAME locateImageName; /* null where the kernel lacks it */
} REGSYS_LOG;

/* Adds one to a count, stopping at its largest value. */
void RegsysCount(volatile LONG* count);

#endif
