// Random and mutated FILE_NOTIFY_INFORMATION batches of 1 B to 64 KiB through the engine's walk and
// rename carry, batch after batch with 0-byte completions between them, each batch staged in an
// exact-size copy so that ASan catches any read past the valid bytes. For valid batches every record
// is delivered once and in order, and an old name is paired with the record after it, across reads
// when it ends a batch.
#include "watcher/NotifyRecordWalk.h"
#include "watcher/RecordPairing.h"
#include "tests/fuzz/FuzzRunner.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kReadBufferSize = 64 * 1024;
constexpr uint32_t kCarryRoom = 1024;
constexpr uint32_t kOldName = 4;

struct Record {
    uint32_t action;
    std::u16string name;
};

// One delivery as the worker makes it: a plain record, or an old name with its partner.
struct Delivery {
    uint32_t action;
    std::u16string name;
    std::u16string newName;
    bool operator==(const Delivery& other) const {
        return action == other.action && name == other.name && newName == other.newName;
    }
};

void Put(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// Records laid out as the system writes them: each DWORD-aligned, the last with offset 0.
std::vector<uint8_t> Encode(const std::vector<Record>& records) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t at = bytes.size();
        const size_t nameBytes = records[i].name.size() * 2;
        const size_t length = i + 1 < records.size() ? (12 + nameBytes + 3) & ~size_t(3) : 12 + nameBytes;
        bytes.resize(at + length);
        Put(bytes, at, i + 1 < records.size() ? uint32_t(length) : 0);
        Put(bytes, at + 4, records[i].action);
        Put(bytes, at + 8, uint32_t(nameBytes));
        std::memcpy(bytes.data() + at + 12, records[i].name.data(), nameBytes);
    }
    return bytes;
}

std::vector<Record> RandomRecords(std::mt19937& random) {
    std::vector<Record> records;
    const size_t count = random() % 32 == 0 ? 1 + random() % 1200 : 1 + random() % 6;
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        Record record{1 + uint32_t(random() % 6),
                      std::u16string(random() % 4 == 0 ? random() % 300 : random() % 12, u'a')};
        for (char16_t& unit : record.name)
            unit = char16_t(u'a' + random() % 3);
        total += 12 + record.name.size() * 2 + 3;
        if (total > kReadBufferSize)
            break;
        records.push_back(record);
    }
    if (records.empty())
        records.push_back(Record{kOldName, u"x"});
    return records;
}

// What the worker must deliver for a stream of valid batches, the carry included. Names longer than
// the walk converts are cut, as the walk cuts them.
std::vector<Delivery> Expected(const std::vector<std::vector<Record>>& batches) {
    std::vector<Delivery> out;
    bool carrying = false;
    Record carried{};
    for (std::vector<Record> batch : batches) {
        for (Record& record : batch)
            record.name.resize(std::min<size_t>(record.name.size(), notify_walk::kMaxNameUnits));
        for (size_t i = 0; i < batch.size(); ++i) {
            if (carrying) {
                out.push_back(Delivery{kOldName, carried.name, batch[i].name});
                carrying = false;
            } else if (batch[i].action == kOldName) {
                if (i + 1 < batch.size()) {
                    out.push_back(Delivery{kOldName, batch[i].name, batch[i + 1].name});
                    ++i;
                } else {
                    carrying = true;
                    carried = batch[i];
                }
            } else if (batch[i].action <= 3) {
                out.push_back(Delivery{batch[i].action, batch[i].name, {}});
            }
        }
    }
    return out;
}

// The engine's side: the walk buffer with the carried record at its start, as the worker holds it.
class Walker {
public:
    // The walk buffer is shared by every stream: only its carried bytes are ever read again.
    Walker() : walkBuffer_(SharedWalkBuffer()) {}

    void Complete(const std::vector<uint8_t>& read) {
        const uint32_t bytes = uint32_t(std::min<size_t>(read.size(), kReadBufferSize));
        if (bytes > 0)
            std::memcpy(walkBuffer_.data() + carriedOffset_, read.data(), bytes);
        const uint32_t valid = carriedOffset_ + bytes;
        // An exact-size copy of the valid bytes: the walk may touch nothing behind them.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[valid == 0 ? 1 : valid]);
        std::memcpy(exact.get(), walkBuffer_.data(), valid);
        const uint32_t keepBytes = Walk(exact.get(), valid);
        std::memcpy(walkBuffer_.data(), exact.get(), std::min<uint32_t>(keepBytes, valid));
        carriedOffset_ =
            notify_walk::LinkCarriedRecord(walkBuffer_.data(), uint32_t(walkBuffer_.size()), keepBytes);
        if (carriedOffset_ > kCarryRoom)
            carriedOffset_ = 0;
    }

    std::vector<Delivery> delivered;

private:
    std::u16string NameAt(const uint8_t* buffer, uint32_t size, uint32_t at) const {
        std::u16string name(notify_walk::AvailableNameBytes(buffer, size, at) / 2, u'\0');
        std::memcpy(&name[0], buffer + at + notify_walk::kFileNameField, name.size() * 2);
        return name;
    }

    // The buffer as the engine's pairing rule sees it: offsets into the exact-size copy.
    struct Records {
        uint8_t* buffer;
        uint32_t size;
        uint32_t at = 0;
        uint32_t Action() const { return notify_walk::RecordAction(buffer, at); }
        bool Next() { return notify_walk::StepToNextRecord(buffer, size, at); }
        uint32_t CarryCurrentToStart() {
            const uint32_t keepBytes = notify_walk::CarryRecordToStart(buffer, size, at);
            at = 0;
            return keepBytes;
        }
    };

public:
    // What the pairing rule hands on.
    std::u16string Name(const Records& records) const {
        return NameAt(records.buffer, records.size, records.at);
    }
    void Single(uint32_t action, const std::u16string& name) {
        delivered.push_back(Delivery{action, name, {}});
    }
    void Renamed(const std::u16string& oldName, const std::u16string& newName) {
        delivered.push_back(Delivery{kOldName, oldName, newName});
    }

private:
    // The worker's walk, through the engine's own pairing rule.
    uint32_t Walk(uint8_t* buffer, uint32_t size) {
        if (!notify_walk::HasFirstRecord(buffer, size))
            return 0;
        Records records{buffer, size};
        return record_pairing::PairRecords(records, *this);
    }

    static std::vector<uint8_t>& SharedWalkBuffer() {
        static std::vector<uint8_t> buffer(kReadBufferSize + kCarryRoom);
        return buffer;
    }

    std::vector<uint8_t>& walkBuffer_;
    uint32_t carriedOffset_ = 0;
};

void Mutate(std::mt19937& random, std::vector<uint8_t>& bytes) {
    const int edits = 1 + int(random() % 8);
    for (int i = 0; i < edits && !bytes.empty(); ++i) {
        const size_t at = random() % bytes.size();
        switch (random() % 4) {
        case 0:
            bytes[at] = uint8_t(random());
            break;
        case 1:
            bytes.resize(at);
            break;
        case 2:
            if (at + 4 <= bytes.size())
                Put(bytes, at, uint32_t(random() % 3 == 0 ? 0xFFFFFFF0u + random() % 16 : random() % 70000));
            break;
        default:
            bytes.resize(bytes.size() + random() % 64, uint8_t(random()));
            break;
        }
    }
}

[[maybe_unused]] bool CheckOneStream(std::mt19937& random) {
    const bool mutated = random() % 2 == 0;
    const int batchCount = 1 + int(random() % 4);
    std::vector<std::vector<Record>> batches;
    Walker walker;
    for (int i = 0; i < batchCount; ++i) {
        while (random() % 3 == 0)
            walker.Complete({});
        batches.push_back(RandomRecords(random));
        std::vector<uint8_t> bytes = Encode(batches.back());
        if (mutated)
            Mutate(random, bytes);
        if (bytes.empty())
            bytes.push_back(uint8_t(random()));
        walker.Complete(bytes);
    }
    return mutated || walker.delivered == Expected(batches);
}

} // namespace

#if defined(ORVANE_LIBFUZZER)
// The input's bytes themselves, as two completions with a 0-byte one between them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t half = size / 2;
    Walker walker;
    walker.Complete(std::vector<uint8_t>(data, data + half));
    walker.Complete({});
    walker.Complete(std::vector<uint8_t>(data + half, data + size));
    return 0;
}
#else
FUZZ_ENTRY("notify-walk", CheckOneStream)
#endif
