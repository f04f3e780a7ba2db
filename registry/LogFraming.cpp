#include "registry/LogFraming.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

// The first NUL among `room` bytes, or null. Eight bytes at a time: the records' texts are long and
// the library's memchr goes byte by byte.
const char* FindRecordEnd(const char* text, size_t room) {
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

// Calls onText with the text of every whole record among the first `size` bytes of `block`.
template <typename OnText>
size_t WalkLogRecords(const char* block, size_t size, OnText&& onText) {
    size_t walked = 0;
    size_t offset = 0;
    while (offset < size && size - offset > REGMON_RECORD_HEADER_SIZE) {
        const char* text = block + offset + REGMON_RECORD_HEADER_SIZE;
        const size_t room = size - offset - REGMON_RECORD_HEADER_SIZE;
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

} // namespace

size_t AppendLogRecords(const char* block, size_t reported, size_t capacity, RawLineList& lines) {
    if (block == nullptr)
        return 0;
    const size_t limit = reported < capacity ? reported : capacity;
    const std::string_view stored = lines.StoreText(block, limit);
    return WalkLogRecords(stored.data(), limit, [&](std::string_view text) { lines.AddStoredLine(text); });
}
