// The driver's log ring through its interface: records framed as readers walk them, wrapping at the
// ring's end, refusals that count or do not, and the one marker line a run of losses leaves, read
// back by the library's own framing and parsing passes.
#include "driver/LogRing.h"

#include "registry/LogFraming.h"
#include "registry/LogParser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// A ring over storage of its own, a little larger than the ring, so that a write past its end shows.
class Ring {
public:
    explicit Ring(uint32_t capacity) : storage_(capacity + 16, 0xA5) {
        LogRingInit(&ring_, storage_.data(), capacity);
    }

    bool Store(const std::string& line) {
        return LogRingStore(&ring_, line.data(), uint32_t(line.size())) != 0;
    }
    bool StoreOrCount(const std::string& line) {
        return LogRingStoreOrCount(&ring_, line.data(), uint32_t(line.size())) != 0;
    }
    // The texts of one take into `capacity` bytes, walked as the library walks a read.
    std::vector<std::string> Take(uint32_t capacity) {
        std::vector<uint8_t> block(capacity + 8, 0xCC);
        const uint32_t written = LogRingTake(&ring_, block.data(), capacity);
        EXPECT_LE(written, capacity);
        for (uint32_t i = capacity; i < block.size(); ++i)
            EXPECT_EQ(block[i], 0xCC) << "written past the take's buffer";
        RawLineList lines;
        AppendLogRecords(reinterpret_cast<const char*>(block.data()), written, capacity, lines);
        return {lines.begin(), lines.end()};
    }
    std::vector<std::string> TakeAll() {
        std::vector<std::string> all;
        for (std::vector<std::string> some = Take(REGMON_READ_SIZE); !some.empty();
             some = Take(REGMON_READ_SIZE))
            all.insert(all.end(), some.begin(), some.end());
        return all;
    }
    bool GuardIntact() const {
        for (size_t i = ring_.capacity; i < storage_.size(); ++i) {
            if (storage_[i] != 0xA5)
                return false;
        }
        return true;
    }
    LogRing& ring() { return ring_; }

private:
    std::vector<uint8_t> storage_;
    LogRing ring_;
};

std::string Marker(uint32_t lost) {
    char text[REGMON_LOST_MARKER_MAX];
    return std::string(text, LogRingMarkerText(lost, text));
}

TEST(LogRing, HandsOutWholeRecordsInOrderWhileTheyFit) {
    Ring ring(4096);
    ASSERT_TRUE(ring.Store("abc"));
    ASSERT_TRUE(ring.Store("abcd"));
    ASSERT_TRUE(ring.Store(std::string(100, 'x')));
    EXPECT_EQ(ring.Take(REGMON_RECORD_SIZE(3u) + REGMON_RECORD_SIZE(4u) - 1),
              std::vector<std::string>{"abc"});
    EXPECT_TRUE(ring.Take(REGMON_RECORD_SIZE(4u) - 1).empty()) << "no record is cut";
    EXPECT_EQ(ring.TakeAll(), (std::vector<std::string>{"abcd", std::string(100, 'x')}));
    EXPECT_EQ(ring.ring().used, 0u);
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(LogRing, RecordsWrapAroundTheEndWhole) {
    Ring ring(64);
    for (int round = 0; round < 40; ++round) {
        const std::string a = "round" + std::to_string(round), b(round % 17 + 1, char('a' + round % 26));
        ASSERT_TRUE(ring.Store(a));
        ASSERT_TRUE(ring.Store(b));
        ASSERT_EQ(ring.TakeAll(), (std::vector<std::string>{a, b})) << round;
    }
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(LogRing, CapacityIsRoundedDownToWholeWords) {
    Ring ring(13);
    EXPECT_EQ(ring.ring().capacity, 12u);
    EXPECT_TRUE(ring.Store("1234567")); // 12 bytes exactly
    EXPECT_FALSE(ring.Store(""));
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(LogRing, StoreRefusesWithoutCountingAndKeepsWhatItHolds) {
    Ring ring(32);
    ASSERT_TRUE(ring.Store(std::string(20, 'a'))); // 28 bytes
    EXPECT_FALSE(ring.Store("b"));
    EXPECT_EQ(ring.ring().lostTotal, 0u);
    EXPECT_EQ(ring.TakeAll(), std::vector<std::string>{std::string(20, 'a')});
    EXPECT_TRUE(ring.Store("b"));
    EXPECT_EQ(ring.TakeAll(), std::vector<std::string>{"b"}) << "no marker without a loss";
}

TEST(LogRing, OneMarkerReportsARunOfLossesBeforeTheNextLine) {
    Ring ring(256);
    const std::string big(200, 'a');
    ASSERT_TRUE(ring.StoreOrCount(big));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(ring.StoreOrCount(std::string(60, 'l')));
    EXPECT_EQ(ring.ring().lostTotal, 3u);
    EXPECT_EQ(ring.Take(REGMON_RECORD_SIZE(200u)), std::vector<std::string>{big});
    // The take made room: the marker went in at once, and only once.
    ASSERT_TRUE(ring.StoreOrCount("next"));
    EXPECT_EQ(ring.TakeAll(), (std::vector<std::string>{Marker(3), "next"}));
    EXPECT_EQ(ring.ring().lostTotal, 3u) << "the total stays for the capture's state";
}

// A line that could not even be made (the driver's writer line of a name at the length limit) is
// counted and reported as any line a full ring turned away.
TEST(LogRing, ALineNeverOfferedCountsAsLost) {
    Ring ring(256);
    LogRingCountLost(&ring.ring());
    LogRingCountLost(&ring.ring());
    EXPECT_EQ(ring.ring().lostTotal, 2u);
    ASSERT_TRUE(ring.StoreOrCount("next"));
    EXPECT_EQ(ring.TakeAll(), (std::vector<std::string>{Marker(2), "next"}));
}

TEST(LogRing, MarkerNeedsRoomBesideTheLineThatFollowsIt) {
    Ring ring(128);
    ASSERT_TRUE(ring.StoreOrCount(std::string(100, 'a'))); // 108 of 128 bytes
    EXPECT_FALSE(ring.StoreOrCount(std::string(30, 'b')));
    // Sixteen bytes would hold a short line, but not the marker before it.
    EXPECT_FALSE(ring.StoreOrCount("c"));
    EXPECT_FALSE(ring.Store("c")) << "an appended line waits for the marker's room too";
    EXPECT_FALSE(LogRingHasRoom(&ring.ring(), REGMON_RECORD_SIZE(1u)));
    EXPECT_EQ(ring.ring().lostTotal, 2u);
    EXPECT_EQ(ring.TakeAll(), (std::vector<std::string>{std::string(100, 'a'), Marker(2)}));
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(LogRing, ResetEmptiesAndForgetsLosses) {
    Ring ring(64);
    ASSERT_TRUE(ring.StoreOrCount(std::string(50, 'a')));
    EXPECT_FALSE(ring.StoreOrCount("lost"));
    LogRingReset(&ring.ring());
    EXPECT_EQ(ring.ring().lostTotal, 0u);
    ASSERT_TRUE(ring.StoreOrCount("fresh"));
    EXPECT_EQ(ring.TakeAll(), std::vector<std::string>{"fresh"});
}

TEST(LogRing, LostTotalStopsAtItsLargestValue) {
    Ring ring(16);
    ring.ring().lostTotal = UINT32_MAX - 1;
    ring.ring().lostSinceMarker = UINT32_MAX - 1;
    EXPECT_FALSE(ring.StoreOrCount(std::string(20, 'x')));
    EXPECT_FALSE(ring.StoreOrCount(std::string(20, 'x')));
    EXPECT_EQ(ring.ring().lostTotal, UINT32_MAX);
}

TEST(LogRingMarker, NamesTheCountAndIsDroppedByTheLogsReaders) {
    EXPECT_EQ(Marker(0), "REGSYS.SYS\tLinesLost\t-\tLOST\t0 lines were not logged: the log was full");
    EXPECT_EQ(Marker(4294967295u),
              "REGSYS.SYS\tLinesLost\t-\tLOST\t4294967295 lines were not logged: the log was full");
    EXPECT_LE(Marker(4294967295u).size(), size_t(REGMON_LOST_MARKER_MAX));
    std::vector<std::string> fields;
    SplitString(Marker(17), "\t", fields);
    EXPECT_EQ(fields.size(), 5u) << "a well-formed line, dropped for what it says, not for its form";
}

} // namespace
