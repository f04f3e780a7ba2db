#include "driver/LogRing.h"

#include <string.h>

/* Spelled out with their lengths: a counting loop could be compiled into a call to strlen. */
static const char kMarkerPrefix[] = REGMON_LOST_MARKER_PREFIX;
static const char kMarkerSuffix[] = REGMON_LOST_MARKER_SUFFIX;
#define MARKER_PREFIX_LENGTH ((uint32_t)(sizeof kMarkerPrefix - 1))
#define MARKER_SUFFIX_LENGTH ((uint32_t)(sizeof kMarkerSuffix - 1))
_Static_assert(sizeof kMarkerPrefix - 1 + 10 + sizeof kMarkerSuffix - 1 <= REGMON_LOST_MARKER_MAX,
               "the longest marker fits its buffer");

/* `base` lies in the ring and `distance` is at most its capacity: one subtraction wraps it (and no
 * 64-bit division, which the 32-bit driver has no runtime for). */
static uint32_t Offset(const LogRing* ring, uint32_t base, uint32_t distance) {
    uint64_t sum = (uint64_t)base + distance;
    if (sum >= ring->capacity)
        sum -= ring->capacity;
    return (uint32_t)sum;
}

/* Copies into the ring at `at`, wrapping at its end. */
static void CopyIn(LogRing* ring, uint32_t at, const void* source, uint32_t size) {
    uint32_t first = ring->capacity - at;
    if (first > size)
        first = size;
    memcpy(ring->storage + at, source, first);
    memcpy(ring->storage, (const uint8_t*)source + first, size - first);
}

/* Copies out of the ring from `at`, wrapping at its end. */
static void CopyOut(const LogRing* ring, uint32_t at, void* target, uint32_t size) {
    uint32_t first = ring->capacity - at;
    if (first > size)
        first = size;
    memcpy(target, ring->storage + at, first);
    memcpy((uint8_t*)target + first, ring->storage, size - first);
}

static uint32_t RoomLeft(const LogRing* ring) {
    return ring->capacity - ring->used;
}

static void PutRecord(LogRing* ring, const char* text, uint32_t length) {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    const uint32_t record = REGMON_RECORD_SIZE(length);
    const uint32_t at = Offset(ring, ring->head, ring->used);
    CopyIn(ring, at, &record, sizeof record);
    CopyIn(ring, Offset(ring, at, sizeof record), text, length);
    CopyIn(ring, Offset(ring, at, sizeof record + length), zeros, record - sizeof record - length);
    ring->used += record;
}

uint32_t LogRingMarkerText(uint32_t lost, char* text) {
    char digits[10];
    uint32_t count = 0, length = 0;
    do {
        digits[count++] = (char)('0' + lost % 10);
        lost /= 10;
    } while (lost != 0);
    memcpy(text, kMarkerPrefix, MARKER_PREFIX_LENGTH);
    length = MARKER_PREFIX_LENGTH;
    while (count != 0)
        text[length++] = digits[--count];
    memcpy(text + length, kMarkerSuffix, MARKER_SUFFIX_LENGTH);
    return length + MARKER_SUFFIX_LENGTH;
}

static uint32_t PendingMarkerBytes(const LogRing* ring) {
    char text[REGMON_LOST_MARKER_MAX];
    if (ring->lostSinceMarker == 0)
        return 0;
    return REGMON_RECORD_SIZE(LogRingMarkerText(ring->lostSinceMarker, text));
}

static void PutMarker(LogRing* ring) {
    char text[REGMON_LOST_MARKER_MAX];
    PutRecord(ring, text, LogRingMarkerText(ring->lostSinceMarker, text));
    ring->lostSinceMarker = 0;
}

void LogRingInit(LogRing* ring, uint8_t* storage, uint32_t capacity) {
    ring->storage = storage;
    ring->capacity = capacity & ~3u;
    LogRingReset(ring);
}

void LogRingReset(LogRing* ring) {
    ring->head = 0;
    ring->used = 0;
    ring->lostSinceMarker = 0;
    ring->lostTotal = 0;
}

int LogRingHasRoom(const LogRing* ring, uint32_t recordBytes) {
    const uint64_t needed = (uint64_t)recordBytes + PendingMarkerBytes(ring);
    return needed <= RoomLeft(ring);
}

void LogRingPut(LogRing* ring, const char* text, uint32_t length) {
    if (ring->lostSinceMarker != 0)
        PutMarker(ring);
    PutRecord(ring, text, length);
}

int LogRingStore(LogRing* ring, const char* text, uint32_t length) {
    if (!LogRingHasRoom(ring, REGMON_RECORD_SIZE(length)))
        return 0;
    LogRingPut(ring, text, length);
    return 1;
}

void LogRingCountLost(LogRing* ring) {
    ++ring->lostSinceMarker;
    if (ring->lostTotal != UINT32_MAX)
        ++ring->lostTotal;
}

int LogRingStoreOrCount(LogRing* ring, const char* text, uint32_t length) {
    if (LogRingStore(ring, text, length))
        return 1;
    LogRingCountLost(ring);
    return 0;
}

uint32_t LogRingTake(LogRing* ring, uint8_t* target, uint32_t capacity) {
    uint32_t written = 0, record;
    while (ring->used >= REGMON_RECORD_HEADER_SIZE) {
        CopyOut(ring, ring->head, &record, sizeof record);
        if (record > capacity - written)
            break;
        CopyOut(ring, ring->head, target + written, record);
        written += record;
        ring->head = Offset(ring, ring->head, record);
        ring->used -= record;
    }
    if (ring->lostSinceMarker != 0 && PendingMarkerBytes(ring) <= RoomLeft(ring))
        PutMarker(ring);
    return written;
}
