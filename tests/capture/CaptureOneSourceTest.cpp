// Where the driver logs every process's registry writes itself, through its kernel callback, the
// capture DLL in a setup's process announces nothing: it asks the driver once, hooks no call and
// says nothing on the tracker's channel, so that no write is logged twice. The driver here is a test
// build that claims an active callback without having one; like the real one then, it refuses lines
// that a program announces.
#include "driver/RegmonProtocol.h"
#include "registry/RegistryMonitor.h"
#include "tests/registry/RegistryTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using registry_tests::DriverFile;
using registry_tests::RegmonDevice;
using registry_tests::TestKey;

constexpr size_t kPrologueBytes = 16;

std::vector<unsigned char> PrologueOf(const char* ntdllExport) {
    const auto* code = reinterpret_cast<const unsigned char*>(
        ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), ntdllExport));
    if (code == nullptr)
        return {};
    return std::vector<unsigned char>(code, code + kPrologueBytes);
}

TEST(CaptureOneSource, ADriverThatLogsEveryProcessGetsNothingAnnouncedByTheCapture) {
    CRegistryMonitor monitor(DriverFile("REGSYSCLAIM.SYS"));
    ASSERT_TRUE(monitor.HasDriver()) << "the driver did not open: error " << monitor.DriverFailure();
    RegmonDevice device;
    ASSERT_TRUE(device.valid());
    ASSERT_TRUE(device.Control(IOCTL_START_CAPTURE, nullptr, 0));
    REGMON_CAPTURE_STATE state = {};
    ASSERT_TRUE(device.Control(IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, &state, sizeof state));
    ASSERT_EQ(state.callbackActive, 1u);
    EXPECT_FALSE(
        device.Append("other.exe\tSetValue\tHKCU\\Software\\X\\Y\tSUCCESS\tType: REG_SZ, Length: 2"));
    EXPECT_EQ(device.lastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED)) << "announced lines are refused";

    const std::string slotName =
        "\\\\.\\mailslot\\orvane\\capture-one-source-" + std::to_string(::GetCurrentProcessId());
    const UniqueFile channel(::CreateMailslotA(slotName.c_str(), 0, 0, nullptr));
    ASSERT_TRUE(channel.valid());
    ASSERT_TRUE(::SetEnvironmentVariableA("ORVANE_CAPTURE_CHANNEL", slotName.c_str()));
    const std::vector<unsigned char> setValueBefore = PrologueOf("NtSetValueKey");
    const std::vector<unsigned char> createProcessBefore = PrologueOf("NtCreateUserProcess");
    ASSERT_NE(::LoadLibraryA(ORVANE_CAPTURE_DLL), nullptr) << "error " << ::GetLastError();

    EXPECT_EQ(PrologueOf("NtSetValueKey"), setValueBefore) << "no registry call is hooked";
    EXPECT_EQ(PrologueOf("NtCreateUserProcess"), createProcessBefore) << "no child is followed";
    const TestKey key("one-source");
    key.SetString("Written", "by the setup");
    for (const std::string& line : device.TakeAll())
        EXPECT_EQ(line.find(key.subKey()), std::string::npos) << line;
    DWORD waiting = 0;
    ASSERT_TRUE(::GetMailslotInfo(channel.get(), nullptr, &waiting, nullptr, nullptr));
    EXPECT_EQ(waiting, static_cast<DWORD>(MAILSLOT_NO_MESSAGE)) << "nothing is said on the channel";
    device.Control(IOCTL_STOP_CAPTURE, nullptr, 0);
}

} // namespace
