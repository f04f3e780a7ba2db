// Walking a block of log records as the registry-monitor driver returns them (see
// driver/RegmonProtocol.h for the framing). Pure: no system calls.
#pragma once

#include "driver/RegmonProtocol.h"
#include "registry/RawLineList.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// The first NUL among `room` bytes, or null. Eight bytes at a time: the records' texts are long and
// the library's memchr goes byte by byte.
inline const char* FindRecordEnd(const char* text, size_t room) {
    size_t i = 0;
    for (; room - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, sizeof word);
        if ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull)
            break; // some byte of this word is 0
    }
    for (; i < room; ++i) {
        if (text[i] == '\0')
            return text + i;
    }
    return nullptr;
}

// Calls onText with the text of every whole record in `block`, in order, and answers how many.
// Records start only below `reported` and below `capacity` (the buffer's size), whatever the
// driver reported. A record whose text has no NUL before that limit is not taken, and ends the
// walk: nothing behind it can be located.
template <typename OnText>
size_t WalkLogRecords(const char* block, size_t reported, size_t capacity, OnText&& onText) {
    if (block == nullptr)
        return 0;
    const size_t limit = reported < capacity ? reported : capacity;
    size_t walked = 0;
    size_t offset = 0;
    while (offset < limit && limit - offset > REGMON_RECORD_HEADER_SIZE) {
        const char* text = block + offset + REGMON_RECORD_HEADER_SIZE;
        const size_t room = limit - offset - REGMON_RECORD_HEADER_SIZE;
        const char* end = FindRecordEnd(text, room);
        if (end == nullptr)
            break;
        const size_t length = static_cast<size_t>(end - text);
        onText(std::string_view(text, length));
        ++walked;
        offset += REGMON_RECORD_HEADER_SIZE + ((length + 4) & ~size_t(3));
    }
    return walked;
}

// Appends the text of every whole record in `block` to `lines` (as WalkLogRecords finds them) and
// answers how many. The block is copied once; the lines are views into the copy.
size_t AppendLogRecords(const char* block, size_t reported, size_t capacity, RawLineList& lines);
