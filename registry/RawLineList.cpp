#include "registry/RawLineList.h"

#include <algorithm>
#include <cstring>

namespace {

// Sixteen driver reads' worth: few allocations, and little room left unused at a chunk's end.
constexpr size_t kChunkSize = 1024 * 1024;

} // namespace

RawLineList::RawLineList(std::initializer_list<std::string_view> lines) {
    for (std::string_view line : lines)
        Append(line);
}

char* RawLineList::Room(size_t size) {
    if (chunks_.empty() || chunkSize_ - chunkUsed_ < size) {
        const size_t newSize = std::max(kChunkSize, size);
        chunks_.reserve(chunks_.size() + 1);
        chunks_.emplace_back(new char[newSize]);
        chunkSize_ = newSize;
        chunkUsed_ = 0;
    }
    roomSize_ = size;
    return chunks_.back().get() + chunkUsed_;
}

std::string_view RawLineList::Keep(size_t size) {
    size = std::min(size, roomSize_);
    roomSize_ = 0;
    if (chunks_.empty())
        return std::string_view();
    const char* kept = chunks_.back().get() + chunkUsed_;
    chunkUsed_ += size;
    return std::string_view(kept, size);
}

std::string_view RawLineList::StoreText(const char* data, size_t size) {
    char* room = Room(size);
    if (size != 0)
        std::memcpy(room, data, size);
    return Keep(size);
}

void RawLineList::clear() noexcept {
    std::vector<std::string_view>().swap(lines_);
    std::vector<std::unique_ptr<char[]>>().swap(chunks_);
    chunkSize_ = 0;
    chunkUsed_ = 0;
    roomSize_ = 0;
}
