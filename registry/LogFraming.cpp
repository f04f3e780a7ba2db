#include "registry/LogFraming.h"

#include "driver/RegmonProtocol.h"

#include <cstring>

size_t AppendLogRecords(const char* block, size_t reported, size_t capacity, std::list<std::string>& lines) {
    if (block == nullptr)
        return 0;
    const size_t limit = reported < capacity ? reported : capacity;
    size_t appended = 0;
    size_t offset = 0;
    while (offset < limit && limit - offset > REGMON_RECORD_HEADER_SIZE) {
        const char* text = block + offset + REGMON_RECORD_HEADER_SIZE;
        const size_t room = limit - offset - REGMON_RECORD_HEADER_SIZE;
        const char* end = static_cast<const char*>(std::memchr(text, 0, room));
        if (end == nullptr)
            break;
        const size_t length = static_cast<size_t>(end - text);
        lines.emplace_back(text, length);
        ++appended;
        offset += REGMON_RECORD_HEADER_SIZE + ((length + 4) & ~size_t(3));
    }
    return appended;
}
