// The shared ring the capture's lines travel in: lines come out whole and in slot order, from
// many threads at once; a slot still being written holds the reader back until every writer has
// ended; a full ring or a line too long for a slot is refused so that its writer logs it directly;
// and what a hostile writer leaves in the block never reaches the reader as a line.
#include "capture/CaptureRing.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using capture::RingReader;

// A ring in this process's memory, as the tracker's block is in its own.
class Ring {
public:
    Ring()
        : memory_(
              static_cast<char*>(::VirtualAlloc(nullptr, capture::kRingBytes, MEM_COMMIT, PAGE_READWRITE))) {
        capture::InitializeRing(memory_);
    }
    ~Ring() { ::VirtualFree(memory_, 0, MEM_RELEASE); }
    void* base() const { return memory_; }
    capture::RingHeader* header() const { return reinterpret_cast<capture::RingHeader*>(memory_); }
    capture::RingSlot* slot(uint32_t index) const {
        return reinterpret_cast<capture::RingSlot*>(memory_ + sizeof(capture::RingHeader)) + index;
    }
    bool Put(const std::string& line) const {
        return capture::PutLine(memory_, line.data(), static_cast<uint32_t>(line.size()));
    }

private:
    char* memory_;
};

std::vector<std::string> Take(RingReader& reader, const Ring& ring, bool final) {
    std::vector<std::string> lines;
    reader.Take(ring.base(), lines, final);
    return lines;
}

TEST(CaptureRing, GivesBackWholeLinesInOrderAndEachOnce) {
    Ring ring;
    ASSERT_TRUE(capture::IsRing(ring.base()));
    RingReader reader;
    EXPECT_TRUE(Take(reader, ring, false).empty());
    ASSERT_TRUE(ring.Put("first"));
    ASSERT_TRUE(ring.Put(std::string(capture::kRingTextCapacity, 'x')));
    EXPECT_EQ(Take(reader, ring, false),
              (std::vector<std::string>{"first", std::string(capture::kRingTextCapacity, 'x')}));
    ASSERT_TRUE(ring.Put("third"));
    EXPECT_EQ(Take(reader, ring, false), std::vector<std::string>{"third"});
    EXPECT_TRUE(Take(reader, ring, true).empty());
}

TEST(CaptureRing, RefusesWhatASlotCannotHoldAndEveryLineOnceFull) {
    Ring ring;
    EXPECT_FALSE(ring.Put(""));
    EXPECT_FALSE(ring.Put(std::string(capture::kRingTextCapacity + 1, 'x')));
    EXPECT_EQ(ring.header()->reserved, 0) << "a refused line takes no slot";
    for (uint32_t i = 0; i < capture::kRingSlotCount; ++i)
        ASSERT_TRUE(ring.Put("line " + std::to_string(i)));
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(ring.Put("one too many"));
    EXPECT_LE(static_cast<uint32_t>(ring.header()->reserved), capture::kRingSlotCount + 10);
    RingReader reader;
    const std::vector<std::string> lines = Take(reader, ring, false);
    ASSERT_EQ(lines.size(), size_t(capture::kRingSlotCount));
    EXPECT_EQ(lines.back(), "line " + std::to_string(capture::kRingSlotCount - 1));
}

TEST(CaptureRing, ASlotNotCommittedHoldsTheReaderUntilTheWritersHaveEnded) {
    Ring ring;
    ASSERT_TRUE(ring.Put("before"));
    // A writer that took a slot and was killed before it marked it committed.
    ::InterlockedIncrement(&ring.header()->reserved);
    ASSERT_TRUE(ring.Put("after"));
    RingReader reader;
    EXPECT_EQ(Take(reader, ring, false), std::vector<std::string>{"before"});
    EXPECT_TRUE(Take(reader, ring, false).empty()) << "its writer may still be at work";
    EXPECT_EQ(Take(reader, ring, true), std::vector<std::string>{"after"});
    EXPECT_EQ(reader.skipped(), 1u);
}

TEST(CaptureRing, PassesOverWhatAHostileWriterLeaves) {
    Ring ring;
    ASSERT_TRUE(ring.Put("good"));
    ASSERT_TRUE(ring.Put("long"));
    ring.slot(1)->length = capture::kRingTextCapacity + 1;
    ASSERT_TRUE(ring.Put("empty"));
    ring.slot(2)->length = 0;
    ASSERT_TRUE(ring.Put("last"));
    RingReader reader;
    EXPECT_EQ(Take(reader, ring, false), (std::vector<std::string>{"good", "last"}));
    EXPECT_EQ(reader.skipped(), 2u);
    // A count beyond the slots, or negative, reads no further than the last slot.
    ring.header()->reserved = -5;
    EXPECT_TRUE(Take(reader, ring, true).empty());
    ring.header()->reserved = 0x7FFFFFFF;
    EXPECT_TRUE(Take(reader, ring, true).empty());
    ring.header()->magic = 0;
    EXPECT_FALSE(capture::IsRing(ring.base()));
}

struct Writer {
    const Ring* ring;
    int index;
};

constexpr int kWriters = 4, kLinesEach = 2000;

DWORD WINAPI WriteLines(void* parameter) {
    const Writer* writer = static_cast<const Writer*>(parameter);
    for (int n = 0; n < kLinesEach; ++n)
        writer->ring->Put("w" + std::to_string(writer->index) + " " + std::to_string(n));
    return 0;
}

TEST(CaptureRing, TakesEveryLineOfWritersRacingTheReader) {
    Ring ring;
    std::vector<Writer> writers;
    for (int i = 0; i < kWriters; ++i)
        writers.push_back(Writer{&ring, i});
    std::vector<UniqueHandle> threads;
    for (Writer& writer : writers)
        threads.emplace_back(::CreateThread(nullptr, 0, &WriteLines, &writer, 0, nullptr));
    RingReader reader;
    std::vector<std::string> lines;
    for (const UniqueHandle& thread : threads) {
        while (::WaitForSingleObject(thread.get(), 1) == WAIT_TIMEOUT)
            reader.Take(ring.base(), lines, false);
        ASSERT_NE(::WaitForSingleObject(thread.get(), 60000), WAIT_TIMEOUT);
    }
    reader.Take(ring.base(), lines, true);
    EXPECT_EQ(reader.skipped(), 0u);
    ASSERT_EQ(lines.size(), size_t(kWriters * kLinesEach));
    const std::set<std::string> distinct(lines.begin(), lines.end());
    EXPECT_EQ(distinct.size(), lines.size());
    // Each writer's own lines come out in the order it wrote them.
    std::vector<int> last(kWriters, -1);
    for (const std::string& line : lines) {
        const int writer = line[1] - '0';
        const int n = std::stoi(line.substr(3));
        EXPECT_EQ(n, last[writer] + 1) << line;
        last[writer] = n;
    }
}

} // namespace
