// Random runs of stores, counted stores, takes of random sizes and resets on rings of random small
// capacities, against a model that keeps the records as a list of texts: every take must hand out
// what the model does, framed as the log's readers walk it, and the ring must never touch a byte
// outside its storage or the take's buffer (both exactly sized heap blocks).
#include "driver/LogRing.h"
#include "tests/fuzz/FuzzRunner.h"

#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>

namespace {

uint32_t RecordBytes(size_t length) {
    return REGMON_RECORD_SIZE(uint32_t(length));
}

std::string MarkerFor(uint32_t lost) {
    return REGMON_LOST_MARKER_PREFIX + std::to_string(lost) + REGMON_LOST_MARKER_SUFFIX;
}

// The rules, as written: records in order, a count of losses not yet reported, and the marker put
// in before the next line stored, or after a take that made room for it.
class Model {
public:
    explicit Model(uint32_t capacity) : capacity_(capacity & ~3u) {}

    bool Store(const std::string& line, bool count) {
        const uint64_t needed = RecordBytes(line.size()) + (lost_ ? RecordBytes(MarkerFor(lost_).size()) : 0);
        if (needed > capacity_ - used_) {
            if (count) {
                ++lost_;
                ++total_;
            }
            return false;
        }
        PutMarkerIfLost();
        Push(line);
        return true;
    }
    std::string Take(uint32_t capacity) {
        std::string block;
        while (!records_.empty() && RecordBytes(records_.front().size()) <= capacity - block.size()) {
            const std::string& text = records_.front();
            const uint32_t size = RecordBytes(text.size());
            block.append(reinterpret_cast<const char*>(&size), 4);
            block += text;
            block.append(size - 4 - text.size(), '\0');
            used_ -= size;
            records_.pop_front();
        }
        if (lost_ && RecordBytes(MarkerFor(lost_).size()) <= capacity_ - used_)
            PutMarkerIfLost();
        return block;
    }
    void Reset() {
        records_.clear();
        used_ = lost_ = total_ = 0;
    }
    uint32_t used() const { return used_; }
    uint32_t total() const { return total_; }

private:
    void Push(const std::string& text) {
        records_.push_back(text);
        used_ += RecordBytes(text.size());
    }
    void PutMarkerIfLost() {
        if (lost_) {
            Push(MarkerFor(lost_));
            lost_ = 0;
        }
    }

    uint32_t capacity_;
    uint32_t used_ = 0, lost_ = 0, total_ = 0;
    std::deque<std::string> records_;
};

std::string RandomLine(std::mt19937& random, uint32_t capacity) {
    const uint32_t longest =
        std::uniform_int_distribution<uint32_t>(0, 3)(random) == 0 ? REGMON_MAX_LINE : capacity / 2 + 8;
    std::string line(std::uniform_int_distribution<uint32_t>(0, longest)(random), 'x');
    for (char& c : line)
        c = char(std::uniform_int_distribution<int>(1, 255)(random));
    return line;
}

bool CheckOneCase(std::mt19937& random) {
    const uint32_t capacity = std::uniform_int_distribution<uint32_t>(0, 600)(random);
    std::unique_ptr<uint8_t[]> storage(new uint8_t[capacity == 0 ? 1 : capacity]);
    LogRing ring;
    LogRingInit(&ring, capacity == 0 ? nullptr : storage.get(), capacity);
    Model model(capacity);
    const int steps = std::uniform_int_distribution<int>(1, 60)(random);
    for (int step = 0; step < steps; ++step) {
        const int what = std::uniform_int_distribution<int>(0, 9)(random);
        if (what <= 2 || what == 9) {
            const std::string line = RandomLine(random, capacity);
            const bool count = what != 9;
            const int stored = count ? LogRingStoreOrCount(&ring, line.data(), uint32_t(line.size()))
                                     : LogRingStore(&ring, line.data(), uint32_t(line.size()));
            if ((stored != 0) != model.Store(line, count))
                return false;
        } else if (what <= 7) {
            const uint32_t size = std::uniform_int_distribution<uint32_t>(0, capacity + 16)(random);
            std::unique_ptr<uint8_t[]> block(new uint8_t[size == 0 ? 1 : size]);
            const uint32_t written = LogRingTake(&ring, block.get(), size);
            const std::string expected = model.Take(size);
            if (written != expected.size() || std::memcmp(block.get(), expected.data(), written) != 0)
                return false;
        } else {
            LogRingReset(&ring);
            model.Reset();
        }
        if (ring.used != model.used() || ring.lostTotal != model.total())
            return false;
    }
    return true;
}

} // namespace

FUZZ_ENTRY("log-ring", CheckOneCase)
