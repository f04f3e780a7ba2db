// orvane-sample-setup on its own: it installs exactly what it says, cleans up its temporary file
// and key, carries on without the registry-monitor driver, and --uninstall leaves nothing behind.
#include "tests/host/HostTestSupport.h"
#include "tests/host/SampleExpectations.h"
#include "tests/support/TestSupport.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

namespace {

using host_tests::ProcessResult;

ProcessResult RunSample(const std::string& arguments) {
    return host_tests::RunProcess(
        test_support::QuoteArgument(host_tests::BinFolder() + "\\orvane-sample-setup.exe") + " " + arguments,
        60000);
}

bool KeyExists(HKEY root, const std::string& subKey) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return false;
    UniqueKey key(raw);
    return true;
}

TEST(SampleSetup, InstallsItsFilesAndValuesAndUninstallRemovesThemAll) {
    const ProcessResult install = RunSample("");
    ASSERT_TRUE(install.finished);
    ASSERT_EQ(install.exitCode, 0u) << install.err;
    EXPECT_NE(install.out.find("installed Orvane Sample 1.0.0 in " + host_tests::SampleFolder()),
              std::string::npos);
    std::vector<host_tests::ExpectedFile> files = host_tests::SampleProductFiles();
    for (const auto& noise : host_tests::SampleNoiseFiles())
        files.push_back(noise);
    for (const auto& file : files)
        EXPECT_EQ(host_tests::ReadWholeFile(file.path), file.contents) << file.path;
    for (const std::string& path : host_tests::SampleTransientPaths())
        EXPECT_FALSE(test_support::FileExists(path)) << path;
    for (const auto& value : host_tests::SampleValues()) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        ASSERT_TRUE(host_tests::ReadRegistryValue(value.root, value.subKey, value.name, type, data))
            << value.path;
        EXPECT_EQ(type, value.type) << value.path;
        EXPECT_EQ(std::string(data.begin(), data.end()), value.bytes) << value.path;
    }
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, host_tests::SampleTemporaryKey()));

    // Installing over an installation is allowed, as setups usually allow it.
    const ProcessResult again = RunSample("");
    EXPECT_EQ(again.exitCode, 0u) << again.err;

    const ProcessResult uninstall = RunSample("--uninstall");
    ASSERT_TRUE(uninstall.finished);
    EXPECT_EQ(uninstall.exitCode, 0u) << uninstall.err;
    for (const auto& file : files)
        EXPECT_FALSE(test_support::FileExists(file.path)) << file.path;
    EXPECT_FALSE(test_support::FileExists(host_tests::SampleFolder()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, host_tests::SampleKeyBelowRoot()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, host_tests::SampleKeyBelowRoot()));

    // Nothing left to remove is no failure.
    EXPECT_EQ(RunSample("--uninstall").exitCode, 0u);
}

TEST(SampleSetup, RefusesUnknownArgumentsAndExplainsItself) {
    const ProcessResult help = RunSample("--help");
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_EQ(help.out.rfind("usage: orvane-sample-setup [--v2 | --uninstall]", 0), 0u);
    for (const char* arguments : {"--bogus", "--uninstall now", "/S", "--v2 --uninstall"}) {
        const ProcessResult run = RunSample(arguments);
        EXPECT_EQ(run.exitCode, 2u) << arguments;
        EXPECT_EQ(run.err.rfind("usage: orvane-sample-setup", 0), 0u);
        EXPECT_FALSE(test_support::FileExists(host_tests::SampleFolder()));
    }
}

} // namespace
