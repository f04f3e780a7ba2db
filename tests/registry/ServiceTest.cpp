// How the monitor installs its driver: missing files, wrong versions and stale services.
#include "registry/RegistryMonitor.h"
#include "tests/registry/RegistryMonitorTestPeer.h"

#include "tests/registry/RegistryTestSupport.h"

#include <gtest/gtest.h>

namespace {

using registry_tests::DriverFile;
using registry_tests::InstallService;
using registry_tests::RegmonDevice;
using registry_tests::RemoveService;
using registry_tests::ServiceExists;
using registry_tests::ServiceRunning;

void ExpectInert(CRegistryMonitor& monitor) {
    EXPECT_FALSE(monitor.HasDriver());
    monitor.Start(1, "x");
    EXPECT_FALSE(monitor.IsPulling());
    monitor.Stop();
    EXPECT_TRUE(monitor.GetChanges().empty());
    EXPECT_TRUE(RegistryMonitorTestPeer::RawLines(monitor).empty());
}

class RegmonService : public testing::Test {
protected:
    void TearDown() override { RemoveService(); }
};

TEST_F(RegmonService, MissingDriverFileLeavesAnInertMonitorAndNoService) {
    for (const std::string& path :
         {DriverFile("REGSYS_absent.SYS"), std::string("C:\\no\\such\\REGSYS.SYS"), std::string("")}) {
        CRegistryMonitor monitor(path);
        EXPECT_EQ(monitor.DriverVersion(), 0u) << path;
        EXPECT_NE(monitor.DriverFailure(), 0u) << path;
        EXPECT_FALSE(ServiceExists()) << path;
        ExpectInert(monitor);
    }
    EXPECT_FALSE(ServiceExists());
}

TEST_F(RegmonService, OtherVersionsAreGivenUpAtOnce) {
    for (const auto& [file, version] : {std::pair<const char*, DWORD>{"REGSYS359.SYS", 359u},
                                        std::pair<const char*, DWORD>{"REGSYS361.SYS", 361u}}) {
        CRegistryMonitor monitor(DriverFile(file));
        EXPECT_EQ(monitor.DriverVersion(), version);
        EXPECT_FALSE(ServiceExists()) << file;
        EXPECT_FALSE(RegmonDevice().valid()) << file << ": the driver still runs";
        ExpectInert(monitor);
    }
    // The right one loads after them.
    CRegistryMonitor monitor;
    EXPECT_TRUE(monitor.HasDriver());
    EXPECT_EQ(monitor.DriverFailure(), 0u);
}

TEST_F(RegmonService, StaleStoppedServiceIsReplaced) {
    ASSERT_TRUE(InstallService(DriverFile("REGSYS_absent.SYS"), false));
    {
        CRegistryMonitor monitor;
        EXPECT_TRUE(monitor.HasDriver());
        EXPECT_TRUE(ServiceRunning());
    }
    EXPECT_FALSE(ServiceExists());
}

TEST_F(RegmonService, StaleRunningDriverStillServes) {
    ASSERT_TRUE(InstallService(DriverFile("REGSYS.SYS"), true));
    ASSERT_TRUE(RegmonDevice().valid());
    {
        CRegistryMonitor monitor;
        EXPECT_TRUE(monitor.HasDriver());
        EXPECT_EQ(monitor.DriverVersion(), 360u);
    }
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(RegmonDevice().valid());
}

// Another program holds the old service open after deleting it, so the name stays taken for as long
// as it keeps the handle. The monitor tries again a few times, then gives up with the reason; once
// the holder lets go, nothing of it is left and the next monitor gets its driver.
TEST_F(RegmonService, ADeletionStillPendingEndsInAReportedFailureNotAWait) {
    ASSERT_TRUE(InstallService(DriverFile("REGSYS_absent.SYS"), false));
    UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueService held(::OpenServiceA(manager.get(), REGMON_SERVICE_NAME, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(held);
    ASSERT_TRUE(::DeleteService(held.get()));
    {
        CRegistryMonitor monitor;
        EXPECT_FALSE(monitor.HasDriver());
        EXPECT_NE(monitor.DriverFailure(), 0u);
    }
    held.reset();
    EXPECT_FALSE(ServiceExists());
    CRegistryMonitor monitor;
    EXPECT_TRUE(monitor.HasDriver()) << "error " << monitor.DriverFailure();
}

TEST_F(RegmonService, StaleRunningDriverOfAnotherVersionIsGivenUp) {
    ASSERT_TRUE(InstallService(DriverFile("REGSYS361.SYS"), true));
    {
        CRegistryMonitor monitor;
        EXPECT_FALSE(monitor.HasDriver());
        EXPECT_EQ(monitor.DriverVersion(), 361u);
    }
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(RegmonDevice().valid());
}

} // namespace
