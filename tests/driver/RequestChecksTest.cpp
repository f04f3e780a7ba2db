// The driver's request checks, driven in user mode with the values no caller under Wine can send.
#include "driver/RegmonProtocol.h"
#include "driver/RequestChecks.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr uint64_t kBound32 = 0x7FFF0000u;
constexpr uint64_t kBound64 = 0x7FFFFFFF0000u;

class UserRange : public testing::TestWithParam<uint64_t> {
protected:
    uint64_t bound() const { return GetParam(); }
};

TEST_P(UserRange, TakesRangesWhollyBelowTheBound) {
    EXPECT_TRUE(RegsysRangeInUserSpace(0x10000, REGMON_READ_SIZE, bound()));
    EXPECT_TRUE(RegsysRangeInUserSpace(1, 1, bound()));
    EXPECT_TRUE(RegsysRangeInUserSpace(bound() - 1, 1, bound()));
    EXPECT_TRUE(RegsysRangeInUserSpace(bound() - REGMON_READ_SIZE, REGMON_READ_SIZE, bound()));
    EXPECT_TRUE(RegsysRangeInUserSpace(1, bound() - 1, bound()));
}

TEST_P(UserRange, RefusesANullStart) {
    EXPECT_FALSE(RegsysRangeInUserSpace(0, 0, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(0, 1, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(0, REGMON_READ_SIZE, bound()));
}

TEST_P(UserRange, RefusesTheKernelHalf) {
    EXPECT_FALSE(RegsysRangeInUserSpace(bound(), 1, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(bound() + 1, 0, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(bound() + 0x10000, REGMON_READ_SIZE, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(0x80000000u, REGMON_READ_SIZE, kBound32));
    EXPECT_FALSE(RegsysRangeInUserSpace(0xFFFFF80000000000u, REGMON_READ_SIZE, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(UINT64_MAX, 1, bound()));
}

TEST_P(UserRange, RefusesRangesThatCrossTheBound) {
    EXPECT_FALSE(RegsysRangeInUserSpace(bound() - 1, 2, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(bound() - REGMON_READ_SIZE + 1, REGMON_READ_SIZE, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(1, bound(), bound()));
}

TEST_P(UserRange, RefusesOversizedAndWrappingRanges) {
    EXPECT_FALSE(RegsysRangeInUserSpace(0x10000, 0xFFFFFFFFu, kBound32));
    EXPECT_FALSE(RegsysRangeInUserSpace(0x10000, UINT64_MAX, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(0x10000, UINT64_MAX - 0xFFFF, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(0x10000, UINT64_MAX - 0x10000 + 2, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(0xFFFFFFFFFFFFF000u, 0x2000, bound()));
    EXPECT_FALSE(RegsysRangeInUserSpace(0xFFFFF000u, 0x2000, kBound32));
}

// A value name a registry callback is handed for a call from user mode: the kernel's capture in
// system space (ReactOS copies both the string structure and its characters before it calls back),
// or the caller's own memory.
TEST_P(UserRange, ReadsANotifiedNameTheKernelCapturedInSystemSpace) {
    const uint64_t kernel = bound() + 0x10000;
    EXPECT_TRUE(RegsysNotifiedRangeReadable(kernel, 16, bound(), 1, 1));
    EXPECT_TRUE(RegsysNotifiedRangeReadable(bound(), 2, bound(), 1, 1));
    EXPECT_TRUE(RegsysNotifiedRangeReadable(UINT64_MAX - 15, 16, bound(), 1, 1));
}

TEST_P(UserRange, ReadsANotifiedNameInTheCallersMemoryWhoeverHoldsItsPointer) {
    EXPECT_TRUE(RegsysNotifiedRangeReadable(0x10000, 16, bound(), 1, 0));
    EXPECT_TRUE(RegsysNotifiedRangeReadable(0x10000, 16, bound(), 1, 1));
    EXPECT_TRUE(RegsysNotifiedRangeReadable(bound() - 2, 2, bound(), 1, 0));
}

TEST_P(UserRange, RefusesSystemSpaceACallerPointsAtFromItsOwnMemory) {
    EXPECT_FALSE(RegsysNotifiedRangeReadable(bound() + 0x10000, 16, bound(), 1, 0));
    EXPECT_FALSE(RegsysNotifiedRangeReadable(bound(), 2, bound(), 1, 0));
}

TEST_P(UserRange, RefusesANotifiedRangeThatCrossesTheBoundOrWraps) {
    EXPECT_FALSE(RegsysNotifiedRangeReadable(bound() - 2, 4, bound(), 1, 1));
    EXPECT_FALSE(RegsysNotifiedRangeReadable(bound() - 2, 4, bound(), 1, 0));
    EXPECT_FALSE(RegsysNotifiedRangeReadable(0, 2, bound(), 1, 1));
    EXPECT_FALSE(RegsysNotifiedRangeReadable(UINT64_MAX - 1, 4, bound(), 1, 1));
    EXPECT_FALSE(RegsysNotifiedRangeReadable(bound() + 1, UINT64_MAX, bound(), 1, 1));
}

TEST_P(UserRange, ReadsWhatAKernelModeCallerOrAnEmptyNameHands) {
    EXPECT_TRUE(RegsysNotifiedRangeReadable(bound() + 0x10000, 16, bound(), 0, 0));
    EXPECT_TRUE(RegsysNotifiedRangeReadable(bound() + 0x10000, 0, bound(), 1, 0));
}

INSTANTIATE_TEST_SUITE_P(Bounds, UserRange, testing::Values(kBound32, kBound64));

TEST(UserSpaceBound, KeepsWhatTheKernelReportsUpToTheArchitecturesHighest) {
    EXPECT_EQ(RegsysUserSpaceBound(kBound32, 32), kBound32);
    EXPECT_EQ(RegsysUserSpaceBound(0xBFFF0000u, 32), 0xBFFF0000u);
    EXPECT_EQ(RegsysUserSpaceBound(kBound64, 64), kBound64);
    EXPECT_EQ(RegsysUserSpaceBound(0x7FFFFFFEFFFFu, 64), 0x7FFFFFFEFFFFu);
    // Wine's kernel exports the name as code: what a read of it gives must not open the kernel half.
    EXPECT_EQ(RegsysUserSpaceBound(0x90909090u, 32), 0x90909090u);
    EXPECT_EQ(RegsysUserSpaceBound(0xFFFFFFFFu, 32), 0xBFFF0000u);
    EXPECT_EQ(RegsysUserSpaceBound(0x6D0D8D4828EC8348u, 64), kBound64);
    EXPECT_EQ(RegsysUserSpaceBound(UINT64_MAX, 64), kBound64);
    EXPECT_FALSE(RegsysRangeInUserSpace(0xFFFFF80000000000u, 1, RegsysUserSpaceBound(UINT64_MAX, 64)));
}

TEST(ReadLength, NeedsRoomForARecordHeader) {
    EXPECT_FALSE(RegsysReadLengthAcceptable(0));
    EXPECT_FALSE(RegsysReadLengthAcceptable(1));
    EXPECT_FALSE(RegsysReadLengthAcceptable(REGMON_RECORD_HEADER_SIZE - 1));
    EXPECT_TRUE(RegsysReadLengthAcceptable(REGMON_RECORD_HEADER_SIZE));
    EXPECT_TRUE(RegsysReadLengthAcceptable(REGMON_READ_SIZE));
    EXPECT_TRUE(RegsysReadLengthAcceptable(UINT64_MAX));
}

TEST(ReadLength, StagesNoMoreThanOneReadOffers) {
    EXPECT_EQ(RegsysReadStagingSize(0), 0u);
    EXPECT_EQ(RegsysReadStagingSize(1), 1u);
    EXPECT_EQ(RegsysReadStagingSize(REGMON_READ_SIZE - 1), REGMON_READ_SIZE - 1u);
    EXPECT_EQ(RegsysReadStagingSize(REGMON_READ_SIZE), REGMON_READ_SIZE);
    EXPECT_EQ(RegsysReadStagingSize(REGMON_READ_SIZE + 1), REGMON_READ_SIZE);
    EXPECT_EQ(RegsysReadStagingSize(0xFFFFFFFFu), REGMON_READ_SIZE);
    EXPECT_EQ(RegsysReadStagingSize(UINT64_MAX), REGMON_READ_SIZE);
}

TEST(AppendLength, TakesOneByteUpToAWholeLine) {
    EXPECT_FALSE(RegsysAppendLengthAcceptable(0));
    EXPECT_TRUE(RegsysAppendLengthAcceptable(1));
    EXPECT_TRUE(RegsysAppendLengthAcceptable(REGMON_MAX_LINE));
    EXPECT_FALSE(RegsysAppendLengthAcceptable(REGMON_MAX_LINE + 1));
    EXPECT_FALSE(RegsysAppendLengthAcceptable(0xFFFFFFFFu));
    EXPECT_FALSE(RegsysAppendLengthAcceptable(0x100000001u)); // would be 1 if cut to 32 bits
}

TEST(VersionLength, NeedsFourBytes) {
    EXPECT_FALSE(RegsysVersionLengthAcceptable(0));
    EXPECT_FALSE(RegsysVersionLengthAcceptable(1));
    EXPECT_FALSE(RegsysVersionLengthAcceptable(3));
    EXPECT_TRUE(RegsysVersionLengthAcceptable(4));
    EXPECT_TRUE(RegsysVersionLengthAcceptable(REGMON_READ_SIZE));
}

TEST(FilterLength, TakesExactlyOneBlock) {
    EXPECT_FALSE(RegsysFilterLengthAcceptable(0));
    EXPECT_FALSE(RegsysFilterLengthAcceptable(1));
    EXPECT_FALSE(RegsysFilterLengthAcceptable(REGMON_FILTER_SIZE - 1));
    EXPECT_TRUE(RegsysFilterLengthAcceptable(REGMON_FILTER_SIZE));
    EXPECT_FALSE(RegsysFilterLengthAcceptable(REGMON_FILTER_SIZE + 1));
    EXPECT_FALSE(RegsysFilterLengthAcceptable(0x100000000u + REGMON_FILTER_SIZE));
}

} // namespace

namespace {

uint32_t Lines(const std::string& batch, uint32_t* bytes) {
    return RegsysBatchLines(batch.data(), batch.size(), bytes);
}

TEST(BatchLines, CountsLfEndedLinesAndTheirRecordBytes) {
    uint32_t bytes = 0;
    EXPECT_EQ(Lines("a\n", &bytes), 1u);
    EXPECT_EQ(bytes, REGMON_RECORD_SIZE(1u));
    EXPECT_EQ(Lines("abc\nabcd\n" + std::string(4096, 'x') + "\n", &bytes), 3u);
    EXPECT_EQ(bytes, REGMON_RECORD_SIZE(3u) + REGMON_RECORD_SIZE(4u) + REGMON_RECORD_SIZE(4096u));
    // A full batch of the longest lines fits the size, and one byte more does not.
    std::string full;
    while (full.size() + 4097 <= REGMON_APPEND_BATCH_SIZE)
        full += std::string(4096, 'y') + "\n";
    full += std::string(REGMON_APPEND_BATCH_SIZE - full.size() - 1, 'z') + "\n";
    EXPECT_EQ(full.size(), size_t(REGMON_APPEND_BATCH_SIZE));
    EXPECT_GT(Lines(full, &bytes), 0u);
    EXPECT_EQ(Lines(full + "q\n", &bytes), 0u);
}

TEST(BatchLines, RefusesAnyBatchWithABadLineAndLeavesTheCountAlone) {
    for (const std::string& bad : {std::string(""), std::string("no end"), std::string("a\nb"),
                                   std::string("\n"), std::string("a\n\nb\n"), std::string("a\0b\n", 4),
                                   std::string(4097, 'x') + "\n", "ok\n" + std::string(4097, 'x') + "\n"}) {
        uint32_t bytes = 77;
        EXPECT_EQ(Lines(bad, &bytes), 0u) << bad.size();
        EXPECT_EQ(bytes, 77u);
    }
    uint32_t bytes = 0;
    EXPECT_EQ(RegsysBatchLines(nullptr, 4, &bytes), 0u);
    EXPECT_EQ(RegsysBatchLines("a\n", 2, nullptr), 0u);
}

} // namespace
