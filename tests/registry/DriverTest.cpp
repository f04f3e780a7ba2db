// The stand-in driver's protocol, through a second handle on its device beside a live monitor.
#include "registry/RegistryMonitor.h"

#include "tests/registry/RegistryTestSupport.h"

#include <gtest/gtest.h>

namespace {

using registry_testing::RegmonDevice;

class RegmonDriver : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(monitor.HasDriver());
        ASSERT_TRUE(device.valid());
    }

    CRegistryMonitor monitor;
    RegmonDevice device;
};

TEST_F(RegmonDriver, ReportsItsVersionInFourBytes) {
    DWORD version = 0;
    ASSERT_TRUE(device.Control(IOCTL_GET_VERSION, nullptr, 0, &version, sizeof version));
    EXPECT_EQ(device.bytesReturned(), 4u);
    EXPECT_EQ(version, 360u);
    EXPECT_FALSE(device.Control(IOCTL_GET_VERSION, nullptr, 0, &version, 2));
}

TEST_F(RegmonDriver, TakesOnlyWholeFilterBlocks) {
    REGMON_FILTER filter{};
    EXPECT_TRUE(device.Control(IOCTL_SET_FILTER, &filter, sizeof filter));
    EXPECT_FALSE(device.Control(IOCTL_SET_FILTER, &filter, sizeof filter - 1));
    EXPECT_FALSE(device.Control(IOCTL_SET_FILTER, nullptr, 0));
    EXPECT_FALSE(device.Control(0x83050008u, nullptr, 0)); // function 2 is not used
}

TEST_F(RegmonDriver, LogsOnlyWhileCapturing) {
    EXPECT_FALSE(device.Append("p\tSetValue\tHKLM\\x\tSUCCESS\td"));
    monitor.Start(0, "");
    EXPECT_TRUE(device.Append("p\tSetValue\tHKLM\\x\tSUCCESS\td"));
    ASSERT_TRUE(device.Control(IOCTL_STOP_CAPTURE, nullptr, 0));
    EXPECT_FALSE(device.Append("p\tSetValue\tHKLM\\y\tSUCCESS\td"));
    // Stopping keeps what was logged; starting again begins with an empty log.
    EXPECT_EQ(device.TakeAll(), std::vector<std::string>{"p\tSetValue\tHKLM\\x\tSUCCESS\td"});
    ASSERT_TRUE(device.Control(IOCTL_START_CAPTURE, nullptr, 0));
    EXPECT_TRUE(device.Append("kept"));
    ASSERT_TRUE(device.Control(IOCTL_START_CAPTURE, nullptr, 0));
    EXPECT_TRUE(device.TakeAll().empty());
    monitor.Stop();
}

TEST_F(RegmonDriver, RefusesEmptyOversizedAndNulCarryingLines) {
    monitor.Start(0, "");
    EXPECT_FALSE(device.Append(""));
    EXPECT_FALSE(device.Append(std::string(4097, 'x')));
    EXPECT_FALSE(device.Append(std::string("a\0b", 3)));
    EXPECT_TRUE(device.Append(std::string(4096, 'L')));
    EXPECT_TRUE(device.Append("x"));
    EXPECT_EQ(device.TakeAll(), (std::vector<std::string>{std::string(4096, 'L'), "x"}));
    monitor.Stop();
}

TEST_F(RegmonDriver, ReadsNeedRoomForAHeader) {
    monitor.Start(0, "");
    ASSERT_TRUE(device.Append("abc"));
    char small[3];
    EXPECT_FALSE(device.Control(IOCTL_READ_LOG, nullptr, 0, small, sizeof small));
    char eight[8];
    ASSERT_TRUE(device.Control(IOCTL_READ_LOG, nullptr, 0, eight, 7)); // no whole record fits
    EXPECT_EQ(device.bytesReturned(), 0u);
    ASSERT_TRUE(device.Control(IOCTL_READ_LOG, nullptr, 0, eight, sizeof eight));
    EXPECT_EQ(device.bytesReturned(), 8u);
    EXPECT_STREQ(eight + 4, "abc");
    monitor.Stop();
}

// Some lines are read first, so that the ring's contents wrap around its end once it fills.
TEST_F(RegmonDriver, FullLogRefusesLinesAndKeepsEveryRecord) {
    monitor.Start(0, "");
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(device.Append("warm-up " + std::to_string(i)));
    ASSERT_EQ(device.TakeAll().size(), 100u);

    const auto lineFor = [](int i) {
        std::string line = "line " + std::to_string(i) + " ";
        return line + std::string(4096 - line.size(), char('a' + i % 26));
    };
    // One more than the log can hold bounds the loop should the driver never refuse.
    const int capacity = int(REGMON_LOG_CAPACITY / REGMON_RECORD_SIZE(4096u));
    int appended = 0;
    while (appended <= capacity && device.Append(lineFor(appended)))
        ++appended;
    EXPECT_EQ(device.lastError(), DWORD(ERROR_LOG_FILE_FULL));
    EXPECT_EQ(appended, capacity);
    EXPECT_FALSE(device.Append(lineFor(appended)));

    // The monitor's own pull, called directly, drains it all, whole and in order.
    while (monitor.RawLines().size() < size_t(appended)) {
        const size_t before = monitor.RawLines().size();
        monitor.PullLog();
        ASSERT_GT(monitor.RawLines().size(), before);
    }
    ASSERT_EQ(monitor.RawLines().size(), size_t(appended));
    int i = 0;
    for (std::string_view line : monitor.RawLines())
        ASSERT_EQ(line, lineFor(i++));
    EXPECT_TRUE(device.Append("room again"));
    monitor.Stop();
}

} // namespace
