// The monitor over a broken driver whose capture cannot be stopped and whose log never runs dry:
// every read brings one more line. Stop must still end promptly, and the monitor stays usable.
#include "registry/RegistryMonitor.h"
#include "tests/registry/RegistryMonitorTestPeer.h"

#include "tests/registry/RegistryTestSupport.h"
#include "tests/support/TestSupport.h"
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

using registry_tests::DriverFile;
using registry_tests::LogLine;
using registry_tests::PumpThroughTicks;
using registry_tests::RegmonDevice;
using registry_tests::RemoveService;
using registry_tests::TestKey;
using registry_tests::Watchdog;

// The stop code, no drain, and the parse of the few ticks' worth of lines pulled so far.
constexpr ULONGLONG kStopBoundMs = 3000;

ULONGLONG TimedStop(CRegistryMonitor& monitor) {
    Watchdog watchdog(60000, "Stop over a driver that never runs dry");
    const ULONGLONG t0 = TickCount64();
    monitor.Stop();
    return TickCount64() - t0;
}

// Each tick of this driver reads for its whole 500 ms budget, so a tick is always due again when one
// ends: dispatching until the queue is empty would never end. One message at a time, then.
bool DispatchOneByOneUntil(const std::function<bool()>& condition, ULONGLONG timeoutMs) {
    const ULONGLONG deadline = TickCount64() + timeoutMs;
    while (!condition()) {
        if (TickCount64() >= deadline)
            return false;
        MSG message;
        if (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        } else {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }
    return true;
}

bool Pulled(const CRegistryMonitor& monitor, const std::string& line) {
    return std::find(RegistryMonitorTestPeer::RawLines(monitor).begin(),
                     RegistryMonitorTestPeer::RawLines(monitor).end(),
                     line) != RegistryMonitorTestPeer::RawLines(monitor).end();
}

class StuckDriver : public testing::Test {
protected:
    void TearDown() override { RemoveService(); }
};

TEST_F(StuckDriver, StopEndsPromptlyWithoutALastDrainAndTheMonitorStaysUsable) {
    Watchdog watchdog(240000, "the test");
    TestKey key{"stuck"};
    CRegistryMonitor monitor(DriverFile("REGSYSSTUCK.SYS"));
    ASSERT_TRUE(monitor.HasDriver()) << "the driver did not open: error " << monitor.DriverFailure();
    RegmonDevice device;
    ASSERT_TRUE(device.valid());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        monitor.Start(0, "");
        ASSERT_TRUE(monitor.IsPulling());
        key.SetString("v", "round " + std::to_string(round));
        const std::string line = LogLine("setup.exe", "SetValue", key.LogPath("v"));
        ASSERT_TRUE(device.Append(line));
        ASSERT_TRUE(DispatchOneByOneUntil([&] { return Pulled(monitor, line); }, 30000));
        const size_t pulled = RegistryMonitorTestPeer::RawLines(monitor).size();

        EXPECT_LT(TimedStop(monitor), kStopBoundMs);
        EXPECT_FALSE(monitor.IsPulling());
        EXPECT_EQ(RegistryMonitorTestPeer::RawLines(monitor).size(), pulled)
            << "capture is still on: the last drain must be skipped";
        ASSERT_EQ(monitor.GetChanges().size(), 1u) << "only the announced write counts";
        EXPECT_EQ(monitor.GetChanges().begin()->path, key.LogPath("v"));

        PumpThroughTicks(2);
        EXPECT_EQ(RegistryMonitorTestPeer::RawLines(monitor).size(), pulled) << "a tick came after Stop";
    }
}

} // namespace
