// The table of operations waiting for their post or their check: pairing by thread and key object,
// what a thread's new operation and a full table displace, adding without displacing, and claiming
// the oldest first.
#include "driver/PendingTable.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class Pending : public testing::Test {
protected:
    void SetUp() override {
        table = std::make_unique<PendingTable>();
        PendingTableInit(table.get());
    }
    void* Record(int i) { return &records[size_t(i)]; }

    std::unique_ptr<PendingTable> table;
    std::vector<int> records = std::vector<int>(4 * PENDING_TABLE_SLOTS);
};

TEST_F(Pending, PostClaimsWhatItsThreadKeptForTheSameObject) {
    EXPECT_EQ(PendingTableRemember(table.get(), 1, 100, Record(0)), nullptr);
    EXPECT_EQ(PendingTableRemember(table.get(), 2, 100, Record(1)), nullptr);
    EXPECT_EQ(PendingTableClaim(table.get(), 1, 200), nullptr) << "another object is another operation";
    EXPECT_EQ(PendingTableClaim(table.get(), 3, 100), nullptr) << "another thread is another operation";
    EXPECT_EQ(PendingTableClaim(table.get(), 1, 100), Record(0));
    EXPECT_EQ(PendingTableClaim(table.get(), 1, 100), nullptr) << "claimed once";
    EXPECT_EQ(PendingTableClaim(table.get(), 2, 100), Record(1));
}

TEST_F(Pending, ThreadsNextOperationDisplacesOneWhosePostNeverCame) {
    EXPECT_EQ(PendingTableRemember(table.get(), 7, 100, Record(0)), nullptr);
    EXPECT_EQ(PendingTableRemember(table.get(), 7, 300, Record(1)), Record(0));
    EXPECT_EQ(PendingTableClaim(table.get(), 7, 100), nullptr);
    EXPECT_EQ(PendingTableClaim(table.get(), 7, 300), Record(1));
}

TEST_F(Pending, FullTableDisplacesTheOldest) {
    for (int i = 0; i < PENDING_TABLE_SLOTS; ++i)
        ASSERT_EQ(PendingTableRemember(table.get(), uintptr_t(1000 + i), 5, Record(i)), nullptr);
    EXPECT_EQ(PendingTableRemember(table.get(), 1, 5, Record(PENDING_TABLE_SLOTS)), Record(0));
    EXPECT_EQ(PendingTableRemember(table.get(), 2, 5, Record(PENDING_TABLE_SLOTS + 1)), Record(1));
    EXPECT_EQ(PendingTableClaim(table.get(), 1000, 5), nullptr);
    EXPECT_EQ(PendingTableClaim(table.get(), 1002, 5), Record(2));
    EXPECT_EQ(PendingTableClaim(table.get(), 1, 5), Record(PENDING_TABLE_SLOTS));
}

TEST_F(Pending, AddRefusesWhenFullAndDisplacesNothing) {
    for (int i = 0; i < PENDING_TABLE_SLOTS; ++i)
        ASSERT_TRUE(PendingTableAdd(table.get(), 0, 0, Record(i)));
    EXPECT_FALSE(PendingTableAdd(table.get(), 0, 0, Record(PENDING_TABLE_SLOTS)));
    for (int i = 0; i < PENDING_TABLE_SLOTS; ++i)
        EXPECT_EQ(PendingTableClaimOldest(table.get()), Record(i)) << "in the order they came";
    EXPECT_EQ(PendingTableClaimOldest(table.get()), nullptr);
    EXPECT_TRUE(PendingTableAdd(table.get(), 0, 0, Record(0))) << "room again once claimed";
}

TEST_F(Pending, OldestFirstAlsoWhenTheAgeCountWraps) {
    table->nextAge = 0xFFFFFFFEu;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(PendingTableAdd(table.get(), 0, 0, Record(i)));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(PendingTableClaimOldest(table.get()), Record(i));
}

TEST_F(Pending, FreedSlotsAreReused) {
    for (int round = 0; round < 3 * PENDING_TABLE_SLOTS; ++round) {
        ASSERT_EQ(PendingTableRemember(table.get(), uintptr_t(round), 9, Record(round % 8)), nullptr)
            << round;
        ASSERT_EQ(PendingTableClaim(table.get(), uintptr_t(round), 9), Record(round % 8));
    }
}

} // namespace
