#include "driver/RequestChecks.h"

#include "driver/RegmonProtocol.h"

int RegsysRangeInUserSpace(uint64_t start, uint64_t length, uint64_t userBound) {
    if (start == 0 || start > userBound)
        return 0;
    /* Written as a distance from the bound, so that no sum can wrap. */
    return length <= userBound - start;
}

int RegsysNotifiedRangeReadable(uint64_t start, uint64_t length, uint64_t userBound, int fromUserMode,
                                int kernelHolds) {
    if (!fromUserMode || length == 0)
        return 1;
    if (RegsysRangeInUserSpace(start, length, userBound))
        return 1;
    /* Written as a distance from the top of the address space, so that no sum can wrap. */
    return kernelHolds && start >= userBound && length - 1 <= UINT64_MAX - start;
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

uint32_t RegsysBatchLines(const char* text, uint64_t length, uint32_t* recordBytes) {
    uint32_t lines = 0, bytes = 0, start = 0, at;
    if (text == 0 || recordBytes == 0 || length == 0 || length > REGMON_APPEND_BATCH_SIZE)
        return 0;
    for (at = 0; at < (uint32_t)length; ++at) {
        if (text[at] == '\0')
            return 0;
        if (text[at] != '\n')
            continue;
        if (!RegsysAppendLengthAcceptable(at - start))
            return 0;
        bytes += REGMON_RECORD_SIZE(at - start);
        ++lines;
        start = at + 1;
    }
    if (start != (uint32_t)length)
        return 0;
    *recordBytes = bytes;
    return lines;
}

int RegsysVersionLengthAcceptable(uint64_t length) {
    return length >= sizeof(uint32_t);
}

int RegsysFilterLengthAcceptable(uint64_t length) {
    return length == REGMON_FILTER_SIZE;
}
