// A repackaging kit built with wixl on the Linux side and installed by msiexec: an entry the setup
// added to an environment variable is added to what the target machine's variable holds, and
// taken out again at uninstall; a value the machine had is not overwritten.
#include "host/track/output/PackageKit.h"
#include "host/track/result/Base64.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/UndoTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using track::ValueChange;

const char kValueKey[] = "Software\\OrvaneKitTest";
const wchar_t kVariable[] = L"OrvaneKitTestPath";

std::vector<std::uint8_t> Ansi(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// What a setup did on the machine it was tracked on: added an entry to the user's variable, changed
// a value it found there, and made one of its own.
track::TrackResult TrackedSetup() {
    track::TrackResult result;
    result.setupCommand = "kit-test-setup.exe";
    track::RegistryValue path("HKCU\\Environment\\OrvaneKitTestPath", REG_SZ,
                              track::EncodeBase64(Ansi("C:\\old;D:\\orvane bin")));
    path.change = ValueChange::Changed;
    path.before = {track::Before::Present, REG_SZ, undo_tests::WideBytes(L"C:\\old"), ""};
    track::RegistryValue setting(std::string("HKCU\\") + kValueKey + "\\Setting", REG_SZ,
                                 track::EncodeBase64(Ansi("the setup's")));
    setting.change = ValueChange::Changed;
    setting.before = {track::Before::Present, REG_SZ, undo_tests::WideBytes(L"the first machine's"), ""};
    track::RegistryValue made(std::string("HKCU\\") + kValueKey + "\\Made", REG_SZ,
                              track::EncodeBase64(Ansi("by the setup")));
    made.change = ValueChange::New;
    result.registry = {path, setting, made};
    return result;
}

std::wstring Text(HKEY root, const std::string& key, const std::wstring& name) {
    track::ValueData data;
    if (!undo_tests::GetExact(root, key, name, data))
        return L"(absent)";
    std::wstring text;
    for (size_t i = 0; i + 1 < data.bytes.size(); i += 2) {
        const auto c = static_cast<wchar_t>(data.bytes[i] | (data.bytes[i + 1] << 8));
        if (c == L'\0')
            break;
        text += c;
    }
    return text;
}

// Runs build-msi.sh on the Linux side; empty when it built product.msi, else why not.
std::string BuildMsi(const std::string& kit) {
    const std::string unixKit = test_support::UnixPathOf(kit);
    if (unixKit.empty())
        return "not running under Wine: the kit is built by wixl on the Linux side";
    const std::string done = kit + "\\build.done";
    if (!test_support::StartUnixShell(
            "cd '" + unixKit +
            "' && if command -v wixl >/dev/null && command -v msibuild >/dev/null; then "
            "sh build-msi.sh >build.log 2>&1; echo $? >build.status; else echo missing "
            ">build.status; fi; touch build.done"))
        return "the Linux shell could not be started";
    if (!test_support::PumpMessagesUntil([&] { return test_support::FileExists(done); }, 120000))
        return "build-msi.sh did not finish within 120 s";
    const std::string status = host_tests::ReadWholeFile(kit + "\\build.status");
    if (status.rfind("missing", 0) == 0)
        return "skip: wixl and msibuild are needed (Debian packages wixl and msitools)";
    if (status.rfind("0", 0) != 0)
        return "build-msi.sh failed: " + host_tests::ReadWholeFile(kit + "\\build.log");
    return std::string();
}

class PackageKitInstall : public ::testing::Test {
protected:
    void TearDown() override {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kValueKey);
        HKEY environment = nullptr;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", 0, KEY_SET_VALUE, &environment) ==
            ERROR_SUCCESS) {
            ::RegDeleteValueW(environment, kVariable);
            ::RegCloseKey(environment);
        }
    }
};

TEST_F(PackageKitInstall, AddsTheEnvironmentEntryToWhatTheTargetMachineHasAndOverwritesNothing) {
    test_support::TempDir dir("kit");
    const std::string kit = dir / "kit";
    std::string error;
    ASSERT_TRUE(track::WritePackage(kit, TrackedSetup(), error)) << error;
    const std::string why = BuildMsi(kit);
    if (why.rfind("skip: ", 0) == 0)
        GTEST_SKIP() << why.substr(6);
    ASSERT_EQ(why, "") << host_tests::ReadWholeFile(kit + "\\product.wxs");

    // The target machine: its own variable, and its own value where the setup changed one.
    ASSERT_TRUE(undo_tests::SetExact(HKEY_CURRENT_USER, "Environment", kVariable,
                                     {REG_SZ, undo_tests::WideBytes(L"C:\\target")}));
    ASSERT_TRUE(undo_tests::SetExact(HKEY_CURRENT_USER, kValueKey, L"Setting",
                                     {REG_SZ, undo_tests::WideBytes(L"the target's")}));
    const std::string msi = test_support::QuoteArgument(kit + "\\product.msi");
    const auto install = host_tests::RunProcess("msiexec /i " + msi + " /qn", 240000);
    ASSERT_TRUE(install.finished);
    ASSERT_EQ(install.exitCode, 0u) << install.out << install.err;
    EXPECT_EQ(Text(HKEY_CURRENT_USER, "Environment", kVariable), L"C:\\target;D:\\orvane bin");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, kValueKey, L"Setting"), L"the target's");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, kValueKey, L"Made"), L"by the setup");

    const auto uninstall = host_tests::RunProcess("msiexec /x " + msi + " /qn", 240000);
    ASSERT_TRUE(uninstall.finished);
    EXPECT_EQ(uninstall.exitCode, 0u) << uninstall.out << uninstall.err;
    // Wine's msiexec (8.0) takes the entry out and leaves its separator: "C:\target;".
    std::wstring left = Text(HKEY_CURRENT_USER, "Environment", kVariable);
    if (!left.empty() && left.back() == L';')
        left.pop_back();
    EXPECT_EQ(left, L"C:\\target");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, kValueKey, L"Setting"), L"the target's");
}

} // namespace
