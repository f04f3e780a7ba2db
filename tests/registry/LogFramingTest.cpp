#include "registry/LogFraming.h"

#include "common/Win32.h"
#include "driver/RegmonProtocol.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

// Frames texts as the driver does: a 32-bit word, the text, a NUL, padding to 4 bytes.
std::vector<char> Frame(const std::vector<std::string>& texts) {
    std::vector<char> block;
    for (const std::string& text : texts) {
        const uint32_t size = REGMON_RECORD_SIZE(uint32_t(text.size()));
        const size_t at = block.size();
        block.resize(at + size, '\0');
        std::memcpy(&block[at], &size, sizeof size);
        std::memcpy(&block[at + 4], text.data(), text.size());
    }
    return block;
}

std::vector<std::string> Walk(const char* block, size_t reported, size_t capacity) {
    RawLineList lines;
    const size_t count = AppendLogRecords(block, reported, capacity, lines);
    EXPECT_EQ(count, lines.size());
    return std::vector<std::string>(lines.begin(), lines.end());
}

TEST(LogFraming, RecordsOccupyTheirPaddedSizes) {
    const std::vector<std::string> texts = {"", "abc", "abcd", "abcdefg", "abcdefgh", std::string(4096, 'x')};
    const std::vector<char> block = Frame(texts);
    EXPECT_EQ(Frame({""}).size(), 8u);
    EXPECT_EQ(Frame({"abc"}).size(), 8u);
    EXPECT_EQ(Frame({"abcd"}).size(), 12u);
    EXPECT_EQ(Walk(block.data(), block.size(), block.size()), texts);
}

TEST(LogFraming, LeadingWordIsNeverInterpreted) {
    std::vector<char> block = Frame({"first", "second"});
    std::memset(block.data(), 0xFF, 4);
    std::memset(block.data() + 12, 0, 4);
    EXPECT_EQ(Walk(block.data(), block.size(), block.size()), (std::vector<std::string>{"first", "second"}));
}

TEST(LogFraming, OnlyRecordsBelowTheReportedCountAreRead) {
    const std::vector<char> block = Frame({"one", "two", "three"});
    EXPECT_TRUE(Walk(block.data(), 0, block.size()).empty());
    EXPECT_EQ(Walk(block.data(), 8, block.size()), (std::vector<std::string>{"one"}));
    EXPECT_EQ(Walk(block.data(), 16, block.size()), (std::vector<std::string>{"one", "two"}));
}

TEST(LogFraming, RecordCutByTheCountIsDroppedAndEndsTheWalk) {
    const std::vector<char> block = Frame({"one", "a longer text", "three"});
    // The count ends inside the second text: its NUL lies beyond and must not be looked for.
    EXPECT_EQ(Walk(block.data(), 8 + 4 + 5, block.size()), (std::vector<std::string>{"one"}));
    // Only the leading word of the second record lies below the count.
    EXPECT_EQ(Walk(block.data(), 12, block.size()), (std::vector<std::string>{"one"}));
}

TEST(LogFraming, CountBeyondTheBufferStopsAtTheBuffer) {
    const std::vector<char> framed = Frame({"alpha", "beta"});
    test_support::GuardedBuffer guarded(12 + 4 + 4); // "beta" ends at the buffer's end: its NUL is cut off
    std::memcpy(guarded.chars(), framed.data(), guarded.size());
    EXPECT_EQ(Walk(guarded.chars(), REGMON_READ_SIZE, guarded.size()), (std::vector<std::string>{"alpha"}));
}

TEST(LogFraming, TextWithoutNulNeverReadsPastTheBuffer) {
    test_support::GuardedBuffer guarded(64);
    std::memset(guarded.chars(), 'x', guarded.size());
    EXPECT_TRUE(Walk(guarded.chars(), guarded.size(), guarded.size()).empty());
    EXPECT_TRUE(Walk(guarded.chars(), 0xFFFFFFFFu, guarded.size()).empty());
    EXPECT_TRUE(Walk(nullptr, 100, 100).empty());
}

TEST(LogFraming, RandomBlocksStayInsideTheirBuffer) {
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        const size_t size = 1 + random() % 300;
        test_support::GuardedBuffer guarded(size);
        for (size_t i = 0; i < size; ++i)
            guarded.chars()[i] = (random() % 4 == 0) ? '\0' : char(random());
        const size_t reported = random() % (2 * size + 8);
        RawLineList lines;
        AppendLogRecords(guarded.chars(), reported, size, lines);
        size_t total = 0;
        for (std::string_view line : lines)
            total += REGMON_RECORD_SIZE(line.size());
        EXPECT_LE(total, size + 3) << "round " << round;
    }
}

TEST(LogFraming, AppendsBehindLinesAlreadyHeld) {
    const std::vector<char> block = Frame({"new"});
    RawLineList lines = {"old"};
    EXPECT_EQ(AppendLogRecords(block.data(), block.size(), block.size(), lines), 1u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), (std::vector<std::string>{"old", "new"}));
}

} // namespace

namespace {

TEST(RawLineList, KeepsLinesInOrderIncludingEmptyOnes) {
    RawLineList lines;
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(lines.begin(), lines.end());
    const std::vector<std::string> texts = {"first", "", std::string("nul\0inside", 10),
                                            std::string(5000, 'z'), ""};
    for (const std::string& text : texts)
        lines.Append(text);
    ASSERT_EQ(lines.size(), texts.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), texts);
    EXPECT_EQ(lines.front(), "first");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(lines[2].size(), 10u);
    lines.clear();
    EXPECT_TRUE(lines.empty());
    lines.Append("again");
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), std::vector<std::string>{"again"});
}

} // namespace
