// The texts of the log records pulled from the driver, in arrival order.
//
// The text lives in large chunks that never move, and each line is a view into them: storing a
// block of records costs one copy of the block and one view per line, where a list of strings would
// cost two heap allocations per line, and storing lines is most of the work of draining a busy log.
// Views stay valid until clear.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

class RawLineList {
public:
    using const_iterator = std::vector<std::string_view>::const_iterator;

    RawLineList() = default;
    RawLineList(std::initializer_list<std::string_view> lines);
    RawLineList(const RawLineList&) = delete;
    RawLineList& operator=(const RawLineList&) = delete;

    // Copies a line's text into the list and adds it as the last line.
    void Append(std::string_view line) { AddStoredLine(StoreText(line.data(), line.size())); }

    // Copies bytes into the list's storage, where they stay until clear, and answers where.
    std::string_view StoreText(const char* data, size_t size);
    // Adds a line whose text lies inside what StoreText answered.
    void AddStoredLine(std::string_view storedText) { lines_.push_back(storedText); }

    // Tests' stand-in for a heap that runs dry: after `stores` more StoreText calls in the process,
    // each throws std::bad_alloc; a negative count gives the real heap back.
    static void FailStoresAfterForTesting(long stores) noexcept;

    // Empties the list and gives its memory back.
    void clear() noexcept;

    size_t size() const noexcept { return lines_.size(); }
    bool empty() const noexcept { return lines_.empty(); }
    std::string_view operator[](size_t index) const { return lines_[index]; }
    std::string_view front() const { return lines_.front(); }
    std::string_view back() const { return lines_.back(); }
    const_iterator begin() const noexcept { return lines_.begin(); }
    const_iterator end() const noexcept { return lines_.end(); }

private:
    std::vector<std::unique_ptr<char[]>> chunks_;
    size_t chunkSize_ = 0; // of the last chunk
    size_t chunkUsed_ = 0; // bytes of the last chunk already stored
    std::vector<std::string_view> lines_;
};
