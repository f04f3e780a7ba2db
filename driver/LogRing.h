/* The driver's log: framed records (RegmonProtocol.h) in a ring of bytes, with the count of lines a
 * full log turned away, and one marker line, once there is room again, saying how many were lost.
 *
 * Plain C11 without OS calls and without locking: the driver calls every function under its log
 * lock, the tests and fuzz targets call them on their own. The storage is the caller's; the driver
 * gives non-paged memory, since registry callbacks store lines at APC_LEVEL.
 *
 * Two ways in. LogRingStore refuses a line that does not fit and counts nothing: its sender (an
 * append request) learns the refusal from its status. LogRingStoreOrCount, for lines nobody could
 * be told about (those of the registry callback), counts a refused line as lost. The marker goes in
 * before the next line stored, or at the end of a take that made room, whichever comes first. */
#ifndef ORVANE_DRIVER_LOG_RING_H
#define ORVANE_DRIVER_LOG_RING_H

#include <stdint.h>

#include "driver/RegmonProtocol.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct LogRing {
    uint8_t* storage;
    uint32_t capacity;        /* bytes of storage, a multiple of 4 */
    uint32_t head;            /* offset of the oldest record */
    uint32_t used;            /* bytes of records held, from head on, wrapping */
    uint32_t lostSinceMarker; /* lines lost that no marker has reported yet */
    uint32_t lostTotal;       /* lines lost since the last reset, stopping at UINT32_MAX */
} LogRing;

/* `capacity` is rounded down to a multiple of 4. The ring starts empty. */
void LogRingInit(LogRing* ring, uint8_t* storage, uint32_t capacity);

/* Empties the ring and forgets every loss. */
void LogRingReset(LogRing* ring);

/* Nonzero when records of `recordBytes` in all fit, counting a pending marker. */
int LogRingHasRoom(const LogRing* ring, uint32_t recordBytes);

/* Puts one line of `length` bytes (no NUL inside, at most REGMON_MAX_LINE) behind the others, after
 * the pending marker if there is one. The caller made sure, with LogRingHasRoom, that it fits. */
void LogRingPut(LogRing* ring, const char* text, uint32_t length);

/* Stores one line if it fits: nonzero when stored; a refusal counts nothing. */
int LogRingStore(LogRing* ring, const char* text, uint32_t length);

/* Stores one line if it fits: nonzero when stored; a refusal counts the line as lost. */
int LogRingStoreOrCount(LogRing* ring, const char* text, uint32_t length);

/* Counts one line as lost that was never offered, since it could not be made. */
void LogRingCountLost(LogRing* ring);

/* Moves whole records, oldest first, into `target` while they fit in its `capacity` bytes; answers
 * the bytes written. Afterwards the pending marker goes in if it fits, for the next take. */
uint32_t LogRingTake(LogRing* ring, uint8_t* target, uint32_t capacity);

/* The marker's text for `lost` lines into `text`, which holds REGMON_LOST_MARKER_MAX bytes; answers
 * its length. */
uint32_t LogRingMarkerText(uint32_t lost, char* text);

#ifdef __cplusplus
}
#endif

#endif
