#include "registry/RawLineList.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace {

// Four driver reads' worth, and below the size from which the heap hands blocks back to the
// system at once: memory freed by one capture is reused, already mapped, by the next.
constexpr size_t kChunkSize = 256 * 1024;

std::atomic<long> g_storesBeforeFailure{-1};

void FailIfTheTestSaysSo() {
    long left = g_storesBeforeFailure.load();
    while (left >= 0) {
        if (left == 0)
            throw std::bad_alloc();
        if (g_storesBeforeFailure.compare_exchange_weak(left, left - 1))
            return;
    }
}

} // namespace

void RawLineList::FailStoresAfterForTesting(long stores) noexcept {
    g_storesBeforeFailure.store(stores < 0 ? -1 : stores);
}

RawLineList::RawLineList(std::initializer_list<std::string_view> lines) {
    for (std::string_view line : lines)
        Append(line);
}

std::string_view RawLineList::StoreText(const char* data, size_t size) {
    FailIfTheTestSaysSo();
    if (chunks_.empty() || chunkSize_ - chunkUsed_ < size) {
        const size_t newSize = std::max(kChunkSize, size);
        std::unique_ptr<char[]> chunk(new char[newSize]); // not zeroed: every byte is copied over
        chunks_.push_back(std::move(chunk));
        chunkSize_ = newSize;
        chunkUsed_ = 0;
    }
    char* target = chunks_.back().get() + chunkUsed_;
    if (size != 0)
        std::memcpy(target, data, size);
    chunkUsed_ += size;
    return std::string_view(target, size);
}

void RawLineList::clear() noexcept {
    std::vector<std::string_view>().swap(lines_);
    std::vector<std::unique_ptr<char[]>>().swap(chunks_);
    chunkSize_ = 0;
    chunkUsed_ = 0;
}
