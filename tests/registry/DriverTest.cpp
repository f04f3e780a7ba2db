// The stand-in driver's protocol, through a second handle on its device beside a live monitor.
#include "registry/RegistryMonitor.h"
#include "tests/registry/RegistryMonitorTestPeer.h"

#include "tests/registry/RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using registry_tests::RegmonDevice;

const std::vector<std::string> kLoggedBefore = {"p\tSetValue\tHKLM\\a\tSUCCESS\td",
                                                "p\tSetValue\tHKLM\\b\tSUCCESS\td"};

class RegmonDriver : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(monitor.HasDriver()) << "the driver did not open: error " << monitor.DriverFailure();
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

// Wine delivers no registry notifications: no callback registers, and the appended lines stay the
// log's one source.
TEST_F(RegmonDriver, ReportsNoCallbackAndKeepsTakingAppendedLines) {
    REGMON_CAPTURE_STATE state;
    memset(&state, 0xCC, sizeof state);
    ASSERT_TRUE(device.Control(IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, &state, sizeof state))
        << device.lastError();
    EXPECT_EQ(device.bytesReturned(), DWORD(REGMON_CAPTURE_STATE_SIZE));
    EXPECT_EQ(state.size, unsigned(REGMON_CAPTURE_STATE_SIZE));
    EXPECT_EQ(state.version, REGMON_CAPTURE_STATE_VERSION);
    EXPECT_EQ(state.callbackActive, 0u);
    EXPECT_LE(state.notifications, REGMON_NOTIFY_POST_WITH_PRE_INFO);
    for (unsigned count :
         {state.linesLostLogFull, state.linesForbidden, state.linesUnconvertible, state.linesUnmapped,
          state.nameQueriesFailed, state.linesUnpaired, state.deletionsUnchecked})
        EXPECT_EQ(count, 0u);

    monitor.Start(0, "");
    EXPECT_TRUE(device.Append("p\tSetValue\tHKLM\\x\tSUCCESS\td")) << device.lastError();
    EXPECT_EQ(device.TakeAll(), std::vector<std::string>{"p\tSetValue\tHKLM\\x\tSUCCESS\td"});
    monitor.Stop();
}

TEST_F(RegmonDriver, CaptureStateNeedsRoomForTheWholeStructure) {
    std::vector<char> output(REGMON_CAPTURE_STATE_SIZE + 8, 'x');
    EXPECT_FALSE(
        device.Control(IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, output.data(), REGMON_CAPTURE_STATE_SIZE - 1));
    EXPECT_EQ(device.lastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(device.Control(IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, nullptr, 0));
    // A larger output gets the structure and no more.
    ASSERT_TRUE(device.Control(IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, output.data(), DWORD(output.size())));
    EXPECT_EQ(device.bytesReturned(), DWORD(REGMON_CAPTURE_STATE_SIZE));
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

TEST_F(RegmonDriver, AppendsABatchWholeOrNotAtAll) {
    const std::string batch =
        "p\tSetValue\tHKLM\\a\tSUCCESS\td\np\tDeleteKey\tHKLM\\b\tSUCCESS\tKey deleted\n";
    EXPECT_FALSE(device.Control(IOCTL_APPEND_LOG_LINES, batch.data(), DWORD(batch.size())))
        << "refused while not capturing";
    monitor.Start(0, "");
    ASSERT_TRUE(device.Control(IOCTL_APPEND_LOG_LINES, batch.data(), DWORD(batch.size())));
    // One bad line refuses the whole batch: no line of it reaches the log.
    for (const std::string& bad : {std::string("good\n\nafter empty\n"), std::string("good\nno end"),
                                   std::string("good\nnul") + '\0' + "inside\n", std::string()}) {
        EXPECT_FALSE(device.Control(IOCTL_APPEND_LOG_LINES, bad.data(), DWORD(bad.size())));
        EXPECT_EQ(device.lastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    const std::string tooLong(REGMON_APPEND_BATCH_SIZE + 1, '\n');
    EXPECT_FALSE(device.Control(IOCTL_APPEND_LOG_LINES, tooLong.data(), DWORD(tooLong.size())));
    EXPECT_EQ(device.TakeAll(), (std::vector<std::string>{"p\tSetValue\tHKLM\\a\tSUCCESS\td",
                                                          "p\tDeleteKey\tHKLM\\b\tSUCCESS\tKey deleted"}));
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

// After each odd read the driver must still answer with its version, and hand out the lines logged
// before it whole, once each.
class RegmonDriverAfterOddReads : public RegmonDriver {
protected:
    void SetUp() override {
        RegmonDriver::SetUp();
        monitor.Start(0, "");
        for (const std::string& line : kLoggedBefore)
            ASSERT_TRUE(device.Append(line));
    }
    void TearDown() override { monitor.Stop(); }

    void ExpectVersion360() {
        DWORD version = 0;
        ASSERT_TRUE(device.Control(IOCTL_GET_VERSION, nullptr, 0, &version, sizeof version));
        EXPECT_EQ(version, 360u);
    }
    // The records of one block, as the monitor walks them.
    static std::vector<std::string> TextsOf(const std::vector<char>& block, DWORD bytes) {
        std::vector<std::string> texts;
        for (DWORD at = 0; at + REGMON_RECORD_HEADER_SIZE < bytes;) {
            const std::string text(block.data() + at + REGMON_RECORD_HEADER_SIZE);
            texts.push_back(text);
            at += REGMON_RECORD_SIZE(DWORD(text.size()));
        }
        return texts;
    }
};

TEST_F(RegmonDriverAfterOddReads, RefusesReadsOfNoOrOneByte) {
    char block[8] = {};
    EXPECT_FALSE(device.Control(IOCTL_READ_LOG, nullptr, 0, block, 0));
    ExpectVersion360();
    EXPECT_FALSE(device.Control(IOCTL_READ_LOG, nullptr, 0, block, 1));
    EXPECT_EQ(block[0], 0);
    ExpectVersion360();
    EXPECT_EQ(device.TakeAll(), kLoggedBefore);
}

// Lengths beyond the size readers offer. The caller owns every byte it offers: a length that runs
// past its memory is refused by the system (Wine: ERROR_INVALID_USER_BUFFER) before the driver sees
// it. The bytes past a read's size are marked, so that a driver that wrote too much shows there.
TEST_F(RegmonDriverAfterOddReads, ReadOfferedMoreThanAReadsSizeLosesAndRepeatsNothing) {
    constexpr char kUntouched = '\x5a';
    std::vector<char> block(REGMON_READ_SIZE + 4096, kUntouched);
    ASSERT_TRUE(device.Control(IOCTL_READ_LOG, nullptr, 0, block.data(), DWORD(block.size())))
        << device.lastError();
    EXPECT_EQ(TextsOf(block, device.bytesReturned()), kLoggedBefore);
    EXPECT_EQ(std::count(block.begin() + REGMON_READ_SIZE, block.end(), kUntouched), 4096);
    ExpectVersion360();
    EXPECT_TRUE(device.TakeAll().empty());

    // More than one read's worth, with sixteen reads' room: a read hands out no more than the size
    // readers offer, whatever length it is given, and the rest stays for the next one.
    std::vector<std::string> lines;
    for (int i = 0; i < 20; ++i)
        lines.push_back(std::to_string(i) + std::string(4090, char('a' + i)));
    for (const std::string& line : lines)
        ASSERT_TRUE(device.Append(line));
    std::vector<char> large(16 * REGMON_READ_SIZE);
    ASSERT_TRUE(device.Control(IOCTL_READ_LOG, nullptr, 0, large.data(), DWORD(large.size())))
        << device.lastError();
    EXPECT_GT(device.bytesReturned(), 0u);
    EXPECT_LE(device.bytesReturned(), DWORD(REGMON_READ_SIZE));
    std::vector<std::string> read = TextsOf(large, device.bytesReturned());
    ExpectVersion360();
    for (const std::string& line : device.TakeAll())
        read.push_back(line);
    EXPECT_EQ(read, lines);
}

TEST_F(RegmonDriverAfterOddReads, ReadRightAfterStopGetsEveryLineOnce) {
    ASSERT_TRUE(device.Control(IOCTL_STOP_CAPTURE, nullptr, 0));
    std::vector<char> block(REGMON_READ_SIZE);
    ASSERT_TRUE(device.Control(IOCTL_READ_LOG, nullptr, 0, block.data(), DWORD(block.size())));
    EXPECT_EQ(TextsOf(block, device.bytesReturned()), kLoggedBefore);
    ExpectVersion360();
    EXPECT_TRUE(device.TakeAll().empty());
    EXPECT_FALSE(device.Append("after stop"));
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
    while (RegistryMonitorTestPeer::RawLines(monitor).size() < size_t(appended)) {
        const size_t before = RegistryMonitorTestPeer::RawLines(monitor).size();
        RegistryMonitorTestPeer::PullLog(monitor);
        ASSERT_GT(RegistryMonitorTestPeer::RawLines(monitor).size(), before);
    }
    ASSERT_EQ(RegistryMonitorTestPeer::RawLines(monitor).size(), size_t(appended));
    int i = 0;
    for (std::string_view line : RegistryMonitorTestPeer::RawLines(monitor))
        ASSERT_EQ(line, lineFor(i++));
    EXPECT_TRUE(device.Append("room again"));
    monitor.Stop();
}

} // namespace
