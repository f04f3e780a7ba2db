// The monitor end to end with the real service and driver: the test writes registry values itself
// and announces each write through the driver's append code, as a driver that saw it would log it.
#include "registry/RegistryMonitor.h"
#include "tests/registry/RegistryMonitorTestPeer.h"

#include "tests/registry/RegistryTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <process.h>

#include <map>

namespace {

using IConfInfoInc::_ConfInfo;
using registry_tests::DecodeBase64;
using registry_tests::LogLine;
using registry_tests::PumpThroughTicks;
using registry_tests::RegmonDevice;
using registry_tests::TestKey;
using test_support::PumpMessagesUntil;

// path -> (type, data bytes)
std::map<std::string, std::pair<DWORD, std::string>> Recorded(const CRegistryMonitor& monitor) {
    std::map<std::string, std::pair<DWORD, std::string>> recorded;
    for (const _ConfInfo& record : monitor.GetChanges()) {
        EXPECT_EQ(record.kind, "register");
        EXPECT_EQ(record.extra, 1);
        EXPECT_TRUE(record.flag);
        recorded[record.path] = {record.valueType, DecodeBase64(record.data)};
    }
    return recorded;
}

std::string Sz(const std::string& text) {
    return std::string(text.c_str(), text.size() + 1);
}

class RegistryMonitorTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(monitor.HasDriver()) << "the driver did not open: error " << monitor.DriverFailure();
        ASSERT_TRUE(device.valid());
    }

    // Writes the value and announces the write.
    void SetAndLog(const std::string& child, const std::string& name, DWORD type, const std::string& data,
                   const std::string& process = "setup.exe") {
        key.Set(child, name, type, data);
        const std::string below = child.empty() ? name : child + "\\" + name;
        ASSERT_TRUE(device.Append(LogLine(process, "SetValue", key.LogPath(below))));
    }

    void Announce(const std::string& line) { ASSERT_TRUE(device.Append(line)) << line; }

    // Lets the pull timer bring `count` lines into the monitor.
    void PumpUntilPulled(size_t count) {
        ASSERT_TRUE(PumpMessagesUntil([&] {
            return RegistryMonitorTestPeer::RawLines(monitor).size() >= count;
        })) << RegistryMonitorTestPeer::RawLines(monitor).size()
            << " of " << count << " lines pulled";
    }

    TestKey key{"monitor"};
    CRegistryMonitor monitor;
    RegmonDevice device;
};

TEST(RegistryMonitorService, LivesFromConstructionToDestruction) {
    {
        CRegistryMonitor monitor;
        ASSERT_TRUE(monitor.HasDriver()) << "the driver did not open: error " << monitor.DriverFailure();
        EXPECT_EQ(monitor.DriverVersion(), 360u);
        EXPECT_TRUE(registry_tests::ServiceRunning());
        EXPECT_FALSE(monitor.IsPulling());
    }
    EXPECT_FALSE(registry_tests::ServiceExists());
    EXPECT_FALSE(RegmonDevice().valid());
}

TEST_F(RegistryMonitorTest, AnnouncedWritesComeBackWithPathTypeAndData) {
    monitor.Start(3, "ignored");
    EXPECT_TRUE(monitor.IsPulling());
    std::string megabyte(1024 * 1024, '\0');
    for (size_t i = 0; i < megabyte.size(); ++i)
        megabyte[i] = char(i % 251);
    SetAndLog("", "Name", REG_SZ, Sz("Product"));
    SetAndLog("", "Version", REG_DWORD, std::string("\x05\x00\x00\x00", 4));
    SetAndLog("Sub", "Bin", REG_BINARY, std::string("\x00\xFF\x10", 3));
    SetAndLog("Sub", "Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6));
    SetAndLog("Sub", "Expand", REG_EXPAND_SZ, Sz("%ProgramFiles%\\App"));
    SetAndLog("Sub", "Empty", REG_BINARY, "");
    SetAndLog("Sub", "Big", REG_BINARY, megabyte);
    SetAndLog("Sub\\\xC9t\xE9", "Caf\xE9", REG_SZ, Sz("na\xEFve"), "s\xE9tup.exe");
    PumpUntilPulled(8);
    monitor.Stop();
    EXPECT_FALSE(monitor.IsPulling());

    const auto recorded = Recorded(monitor);
    const std::map<std::string, std::pair<DWORD, std::string>> expected = {
        {key.LogPath("Name"), {REG_SZ, Sz("Product")}},
        {key.LogPath("Version"), {REG_DWORD, std::string("\x05\x00\x00\x00", 4)}},
        {key.LogPath("Sub\\Bin"), {REG_BINARY, std::string("\x00\xFF\x10", 3)}},
        {key.LogPath("Sub\\Multi"), {REG_MULTI_SZ, std::string("a\0bc\0\0", 6)}},
        {key.LogPath("Sub\\Expand"), {REG_EXPAND_SZ, Sz("%ProgramFiles%\\App")}},
        {key.LogPath("Sub\\Empty"), {REG_BINARY, ""}},
        {key.LogPath("Sub\\Big"), {REG_BINARY, megabyte}},
        {key.LogPath("Sub\\\xC9t\xE9\\Caf\xE9"), {REG_SZ, Sz("na\xEFve")}},
    };
    EXPECT_EQ(recorded.size(), expected.size());
    for (const auto& [path, value] : expected) {
        const auto found = recorded.find(path);
        ASSERT_NE(found, recorded.end()) << path;
        EXPECT_EQ(found->second.first, value.first) << path;
        EXPECT_TRUE(found->second.second == value.second) << path;
    }
    for (const _ConfInfo& record : monitor.GetChanges()) {
        if (record.path == key.LogPath("Sub\\Empty")) {
            EXPECT_TRUE(record.data.empty());
        }
    }
}

TEST_F(RegistryMonitorTest, ExclusionsResultsAndOperationsDecide) {
    monitor.Start(0, "");
    key.SetString("v", "x");
    const std::string path = key.LogPath("v");
    Announce(LogLine("explorer.exe", "SetValue", path));
    Announce(LogLine("svchost.exe", "SetValue", path));
    Announce(LogLine("IRP_MJ_SET_VALUE", "SetValue", path));
    Announce(LogLine("C:\\$Extend\\x", "SetValue", path));
    Announce(LogLine("setup.exe", "SetValue", path, "ACCESS DENIED"));
    Announce(LogLine("setup.exe", "CreateKey", path));
    Announce(LogLine("setup.exe", "QueryValue", path));
    Announce("setup.exe\tSetValue\t" + path + "\tSUCCESS");            // four fields
    Announce(LogLine("setup.exe", "SetValue", path) + "\tmore\tmore"); // seven
    Announce(LogLine("setup.exe", "SetValue", path, "SUCCESS", ""));   // empty detail: four
    Announce(LogLine("setup.exe", "SetValue", "HKXX\\Software\\v"));
    Announce(LogLine("setup.exe", "SetValue", "HKCU"));
    Announce(LogLine("setup.exe", "SetValue", "HKCU\\CLSID\\{0}\\v"));
    Announce("\x01\x02\x7F\x80\xFF\t\t\t\t");
    Announce(std::string(4096, '\t'));
    PumpUntilPulled(15);
    monitor.Stop();
    EXPECT_TRUE(monitor.GetChanges().empty());
    EXPECT_EQ(RegistryMonitorTestPeer::Entries(monitor).size(),
              2u); // the paths that cannot be split fail only at read-back

    // The same write by a process whose name differs from an excluded one in letter case counts.
    monitor.Start(0, "");
    Announce(LogLine("Explorer.exe", "SetValue", path));
    PumpUntilPulled(1);
    monitor.Stop();
    EXPECT_EQ(Recorded(monitor).count(path), 1u);
}

TEST_F(RegistryMonitorTest, DeletedKeysCancelTheWritesBelowThemLoggedBefore) {
    monitor.Start(0, "");
    SetAndLog("A", "before", REG_SZ, Sz("1"));
    SetAndLog("AB", "sibling", REG_SZ, Sz("2")); // below the deleted characters, not the deleted key
    Announce(LogLine("setup.exe", "DeleteKey", key.LogPath("A")));
    SetAndLog("A\\Deep", "after", REG_SZ, Sz("3")); // written again after the deletion: the setup's
    SetAndLog("B", "kept", REG_SZ, Sz("4"));
    SetAndLog("C", "kept", REG_SZ, Sz("5"));
    Announce(LogLine("explorer.exe", "DeleteKey", key.LogPath("C")));                // excluded: no effect
    Announce(LogLine("setup.exe", "DeleteKey", key.LogPath("C"), "NAME NOT FOUND")); // failed: no effect
    Announce(LogLine("setup.exe", "DeleteKeyValue", key.LogPath("C")));              // not exactly DeleteKey
    PumpUntilPulled(9);
    monitor.Stop();
    const auto recorded = Recorded(monitor);
    EXPECT_EQ(recorded.size(), 4u);
    EXPECT_EQ(recorded.count(key.LogPath("AB\\sibling")), 1u);
    EXPECT_EQ(recorded.count(key.LogPath("A\\Deep\\after")), 1u);
    EXPECT_EQ(recorded.count(key.LogPath("B\\kept")), 1u);
    EXPECT_EQ(recorded.count(key.LogPath("C\\kept")), 1u);
}

TEST_F(RegistryMonitorTest, ReadBackFailuresGiveNoRecord) {
    monitor.Start(0, "");
    SetAndLog("", "deleted", REG_SZ, Sz("gone before Stop"));
    key.DeleteValue("", "deleted");
    SetAndLog("Locked", "v", REG_SZ, Sz("read-only key"));
    key.MakeReadOnly("Locked");
    SetAndLog("", "thrice", REG_SZ, Sz("one"));
    SetAndLog("", "thrice", REG_SZ, Sz("two"));
    SetAndLog("", "thrice", REG_DWORD, std::string("\x03\x00\x00\x00", 4));
    Announce(LogLine("setup.exe", "SetValue", key.LogPath("never written")));
    PumpUntilPulled(6);
    monitor.Stop();
    const auto recorded = Recorded(monitor);
    ASSERT_EQ(recorded.size(), 1u);
    const auto& thrice = recorded.at(key.LogPath("thrice"));
    EXPECT_EQ(thrice.first, DWORD(REG_DWORD));
    EXPECT_EQ(thrice.second, std::string("\x03\x00\x00\x00", 4));
}

TEST_F(RegistryMonitorTest, LongestLineReachesTheParser) {
    monitor.Start(0, "");
    const std::string head = "setup.exe\tSetValue\t" + key.LogPath("v") + "\tSUCCESS\t";
    const std::string longest = head + std::string(4096 - head.size(), 'd');
    ASSERT_EQ(longest.size(), 4096u);
    key.SetString("v", "x");
    Announce(longest);
    PumpUntilPulled(1);
    monitor.Stop();
    EXPECT_EQ(RegistryMonitorTestPeer::RawLines(monitor).front(), longest);
    ASSERT_EQ(RegistryMonitorTestPeer::Entries(monitor).size(), 1u);
    EXPECT_EQ(RegistryMonitorTestPeer::Entries(monitor).front().detail, std::string(4096 - head.size(), 'd'));
    EXPECT_EQ(monitor.GetChanges().size(), 1u);
}

TEST_F(RegistryMonitorTest, StopTakesWhatTheLastTickLeft) {
    monitor.Start(0, "");
    SetAndLog("", "late", REG_SZ, Sz("logged just before Stop"));
    monitor.Stop(); // no message was dispatched: no tick ran
    EXPECT_EQ(RegistryMonitorTestPeer::RawLines(monitor).size(), 1u);
    EXPECT_EQ(Recorded(monitor).count(key.LogPath("late")), 1u);
}

TEST_F(RegistryMonitorTest, StopWithoutStartGivesAnEmptySetAndEndsCapture) {
    monitor.Stop();
    EXPECT_TRUE(monitor.GetChanges().empty());
    EXPECT_FALSE(device.Append(LogLine("setup.exe", "SetValue", key.LogPath("v"))));
    monitor.Stop();
    EXPECT_TRUE(monitor.GetChanges().empty());
}

// A host that crashed while capturing leaves the driver logging; a fresh monitor's Stop leaves
// those lines alone.
TEST_F(RegistryMonitorTest, StopWithoutStartLeavesAStaleLogUnread) {
    key.SetString("stale", "x");
    ASSERT_TRUE(device.Control(IOCTL_START_CAPTURE, nullptr, 0));
    Announce(LogLine("setup.exe", "SetValue", key.LogPath("stale")));
    monitor.Stop();
    EXPECT_TRUE(monitor.GetChanges().empty());
    EXPECT_TRUE(RegistryMonitorTestPeer::RawLines(monitor).empty());
    EXPECT_FALSE(device.Append(LogLine("setup.exe", "SetValue", key.LogPath("stale"))));
    EXPECT_EQ(device.TakeAll().size(), 1u);
}

TEST_F(RegistryMonitorTest, OutOfMemoryInTheLastPullKeepsTheLinesBefore) {
    monitor.Start(0, "");
    SetAndLog("", "kept", REG_SZ, Sz("1"));
    PumpUntilPulled(1);
    SetAndLog("", "lost", REG_SZ, Sz("2"));
    RawLineList::FailStoresAfterForTesting(0);
    monitor.Stop(); // the last pull finds no memory for its block
    RawLineList::FailStoresAfterForTesting(-1);
    EXPECT_EQ(RegistryMonitorTestPeer::RawLines(monitor).size(), 1u);
    const auto recorded = Recorded(monitor);
    EXPECT_EQ(recorded.count(key.LogPath("kept")), 1u);
    EXPECT_EQ(recorded.count(key.LogPath("lost")), 0u);
}

TEST_F(RegistryMonitorTest, ResultsStayUntilTheNextStartClearsThem) {
    monitor.Start(0, "");
    SetAndLog("", "v", REG_SZ, Sz("x"));
    PumpUntilPulled(1);
    monitor.Stop();
    ASSERT_EQ(monitor.GetChanges().size(), 1u);
    monitor.Stop(); // parses the same lines again: the set keeps one record
    EXPECT_EQ(monitor.GetChanges().size(), 1u);
    EXPECT_EQ(RegistryMonitorTestPeer::Entries(monitor).size(), 2u);
    monitor.Start(0, "");
    EXPECT_TRUE(monitor.GetChanges().empty());
    EXPECT_TRUE(RegistryMonitorTestPeer::RawLines(monitor).empty());
    EXPECT_TRUE(RegistryMonitorTestPeer::Entries(monitor).empty());
    monitor.Stop();
}

// The second Start discards the capture the first began (the driver empties its log), and no tick
// of either timer reaches the monitor after Stop.
TEST_F(RegistryMonitorTest, SecondStartReplacesTheTimerAndNothingPullsAfterStop) {
    monitor.Start(0, "");
    SetAndLog("", "first", REG_SZ, Sz("1"));
    monitor.Start(0, "");
    EXPECT_TRUE(monitor.IsPulling());
    SetAndLog("", "second", REG_SZ, Sz("2"));
    PumpUntilPulled(1);
    monitor.Stop();
    EXPECT_EQ(RegistryMonitorTestPeer::RawLines(monitor).size(), 1u);
    EXPECT_EQ(Recorded(monitor).count(key.LogPath("second")), 1u);
    EXPECT_EQ(Recorded(monitor).count(key.LogPath("first")), 0u);

    // Capture on behind the monitor's back: a tick would pull this line.
    ASSERT_TRUE(device.Control(IOCTL_START_CAPTURE, nullptr, 0));
    Announce(LogLine("setup.exe", "SetValue", key.LogPath("unseen")));
    PumpThroughTicks(3);
    EXPECT_EQ(RegistryMonitorTestPeer::RawLines(monitor).size(), 1u);
    EXPECT_EQ(device.TakeAll().size(), 1u);
    ASSERT_TRUE(device.Control(IOCTL_STOP_CAPTURE, nullptr, 0));
}

TEST_F(RegistryMonitorTest, PullingContinuesAcrossTicks) {
    monitor.Start(0, "");
    for (int round = 1; round <= 3; ++round) {
        SetAndLog("", "v" + std::to_string(round), REG_DWORD, std::string(4, char(round)));
        PumpUntilPulled(size_t(round));
    }
    monitor.Stop();
    EXPECT_EQ(monitor.GetChanges().size(), 3u);
}

TEST(RegistryMonitorLifetime, DestroyingACapturingMonitorLeavesNoTick) {
    auto monitor = std::make_unique<CRegistryMonitor>();
    ASSERT_TRUE(monitor->HasDriver()) << "the driver did not open: error " << monitor->DriverFailure();
    monitor->Start(0, "");
    EXPECT_EQ(g_timerMonitor.load(), monitor.get());
    monitor.reset();
    EXPECT_EQ(g_timerMonitor.load(), nullptr);
    EXPECT_FALSE(registry_tests::ServiceExists());
    PumpThroughTicks(2);
}

struct TimerThread {
    CRegistryMonitor* monitor = nullptr;
    UniqueHandle started{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle destroyed{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    bool startedPulling = false;

    static unsigned __stdcall Run(void* argument) {
        auto* self = static_cast<TimerThread*>(argument);
        self->monitor->Start(0, "");
        self->startedPulling = self->monitor->IsPulling();
        ::SetEvent(self->started.get());
        // No message is retrieved until the monitor is gone, so no tick runs while it is being
        // destroyed; then a few periods' worth: whatever is left of the timer on this thread must
        // not reach the destroyed monitor.
        if (::WaitForSingleObject(self->destroyed.get(), 30000) != WAIT_OBJECT_0)
            return 2;
        PumpThroughTicks(3);
        return 0;
    }
};

TEST(RegistryMonitorLifetime, DestroyingOnAnotherThreadUntiesTheTimer) {
    auto monitor = std::make_unique<CRegistryMonitor>();
    ASSERT_TRUE(monitor->HasDriver()) << "the driver did not open: error " << monitor->DriverFailure();
    TimerThread state;
    state.monitor = monitor.get();
    UniqueHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, TimerThread::Run, &state, 0, nullptr)));
    ASSERT_TRUE(thread.valid());
    ASSERT_EQ(::WaitForSingleObject(state.started.get(), 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(state.startedPulling);
    monitor.reset();
    EXPECT_EQ(g_timerMonitor.load(), nullptr);
    ::SetEvent(state.destroyed.get());
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
    DWORD code = 1;
    ::GetExitCodeThread(thread.get(), &code);
    EXPECT_EQ(code, 0u);
}

} // namespace
