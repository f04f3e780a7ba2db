/* One registry operation as the callback takes it from a notification: the texts copied into
 * non-paged memory of its own, so that it may outlive the notification (kept for the post, or for
 * a deletion check) and be logged after the names it came from are gone.
 *
 * Collecting queries names and may touch a caller's memory: it runs in the thread that made the
 * operation, at PASSIVE_LEVEL or APC_LEVEL, never under the log lock. */
#ifndef ORVANE_DRIVER_OPERATION_RECORD_H
#define ORVANE_DRIVER_OPERATION_RECORD_H

#include "driver/RegsysState.h"

typedef struct {
    int operation; /* CAPTURE_SET_VALUE or CAPTURE_DELETE_KEY */
    /* The process's image path, or "System", then ":" and its id: the last `idUnits` units. */
    UNICODE_STRING image;
    USHORT idUnits;
    /* The process is the setup's (MarkedProcesses.h): the log names it by image and id too. */
    BOOLEAN marked;
    UNICODE_STRING key;   /* the key's kernel name */
    UNICODE_STRING value; /* the value's name, empty for the default value and for deletions */
    ULONG valueType;
    ULONG dataLength;
} REGSYS_RECORD;

/* The record of an operation on `keyObject`; `valueName` may be null (a deletion) and may point
 * into the calling process's memory, unchecked. Null when a name could not be had (counted) or
 * memory ran out. */
REGSYS_RECORD* RegsysCollectRecord(REGSYS_LOG* log, int operation, PVOID keyObject,
                                   const UNICODE_STRING* valueName, ULONG valueType, ULONG dataLength);

void RegsysFreeRecord(REGSYS_RECORD* record);

#endif
