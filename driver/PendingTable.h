/* A bounded table of operation records waiting for something: the post-notification of the same
 * thread and key object (2003, XP x64), or a check that a deleted key is gone (XP x86).
 *
 * Plain C11 without OS calls and without locking: the driver calls it under its log lock, the tests
 * and fuzz targets on their own. The table holds the records' pointers, never frees them: what it
 * hands back (displaced, claimed) becomes the caller's. */
#ifndef ORVANE_DRIVER_PENDING_TABLE_H
#define ORVANE_DRIVER_PENDING_TABLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PENDING_TABLE_SLOTS 128

typedef struct PendingSlot {
    uintptr_t thread;
    uintptr_t object;
    uint32_t age; /* order of arrival: smaller is older */
    void* record; /* null for a free slot */
} PendingSlot;

typedef struct PendingTable {
    PendingSlot slots[PENDING_TABLE_SLOTS];
    uint32_t nextAge;
} PendingTable;

void PendingTableInit(PendingTable* table);

/* Keeps `record` (not null) for the thread `thread` on the object `object`. A thread waits for one
 * registry operation at a time, so a record the same thread left behind belongs to an operation
 * whose post never came: it is displaced. In a full table the oldest record is displaced. Answers
 * the displaced record, or null. */
void* PendingTableRemember(PendingTable* table, uintptr_t thread, uintptr_t object, void* record);

/* Keeps `record` (not null) under the keys given, displacing nothing: answers zero, and keeps
 * nothing, when the table is full. */
int PendingTableAdd(PendingTable* table, uintptr_t thread, uintptr_t object, void* record);

/* Takes out the record kept for `thread` and `object`; null when there is none. */
void* PendingTableClaim(PendingTable* table, uintptr_t thread, uintptr_t object);

/* Takes out the oldest record whatever its keys; null when the table is empty. */
void* PendingTableClaimOldest(PendingTable* table);

#ifdef __cplusplus
}
#endif

#endif
