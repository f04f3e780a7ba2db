#include "registry/LogFraming.h"

size_t AppendLogRecords(const char* block, size_t reported, size_t capacity, RawLineList& lines) {
    if (block == nullptr)
        return 0;
    const size_t limit = reported < capacity ? reported : capacity;
    const std::string_view stored = lines.StoreText(block, limit);
    return WalkLogRecords(stored.data(), limit, limit,
                          [&](std::string_view text) { lines.AddStoredLine(text); });
}
