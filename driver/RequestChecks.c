#include "driver/RequestChecks.h"

#include "driver/RegmonProtocol.h"

int RegsysRangeInUserSpace(uint64_t start, uint64_t length, uint64_t userBound) {
    if (start == 0 || start > userBound)
        return 0;
    /* Written as a distance from the bound, so that no sum can wrap. */
    return length <= userBound - start;
}

uint64_t RegsysUserSpaceBound(uint64_t reported, unsigned pointerBits) {
    const uint64_t highest = pointerBits == 32 ? 0xBFFF0000u : 0x7FFFFFFF0000u;
    return reported < highest ? reported : highest;
}

int RegsysReadLengthAcceptable(uint64_t length) {
    return length >= REGMON_RECORD_HEADER_SIZE;
}

uint32_t RegsysReadStagingSize(uint64_t outputLength) {
    return outputLength < REGMON_READ_SIZE ? (uint32_t)outputLength : REGMON_READ_SIZE;
}

int RegsysAppendLengthAcceptable(uint64_t length) {
    return length != 0 && length <= REGMON_MAX_LINE;
}

int RegsysVersionLengthAcceptable(uint64_t length) {
    return length >= sizeof(uint32_t);
}

int RegsysFilterLengthAcceptable(uint64_t length) {
    return length == REGMON_FILTER_SIZE;
}
