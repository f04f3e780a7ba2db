// The capture DLL loaded into this very test program, as into a setup: each registry write or key
// deletion the program makes, through whichever API, lands in the REGMON driver's log as one line
// before the call returns; what fails is not logged and returns as it would without the capture;
// what the log cannot hold is said on the tracker's channel.
#include "driver/RegmonProtocol.h"
#include "registry/RegistryMonitor.h"
#include "tests/registry/RegistryTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using registry_tests::RegmonDevice;
using registry_tests::TestKey;

const std::string kProcess = "capture_module_tests.exe";

// The process as the capture's lines name it: the image and, after a colon, the process id.
std::string LoggedProcess() {
    return kProcess + ":" + std::to_string(::GetCurrentProcessId());
}

std::string CaptureDllPath() {
    return ORVANE_CAPTURE_DLL;
}

// The process's one capture: the driver capturing, the channel open, the DLL loaded once for all
// cases (it cannot be unloaded, as in a setup).
class CaptureEnvironment : public testing::Environment {
public:
    void SetUp() override {
        monitor = new CRegistryMonitor;
        ASSERT_TRUE(monitor->HasDriver()) << "the driver did not open: error " << monitor->DriverFailure();
        const std::string slotName =
            "\\\\.\\mailslot\\orvane\\capture-test-" + std::to_string(::GetCurrentProcessId());
        channel.reset(::CreateMailslotA(slotName.c_str(), 0, 0, nullptr));
        ASSERT_TRUE(channel.valid());
        ASSERT_TRUE(::SetEnvironmentVariableA("ORVANE_CAPTURE_CHANNEL", slotName.c_str()));
        device = new RegmonDevice; // opened once the monitor made the service
        ASSERT_TRUE(device->Control(IOCTL_START_CAPTURE, nullptr, 0));
        module = ::LoadLibraryA(CaptureDllPath().c_str());
        ASSERT_NE(module, nullptr) << CaptureDllPath() << ": error " << ::GetLastError();
    }
    void TearDown() override {
        if (device != nullptr)
            device->Control(IOCTL_STOP_CAPTURE, nullptr, 0);
        delete device;
        delete monitor; // removes the service; the hooks stay, with nothing to log to
    }

    static CRegistryMonitor* monitor;
    static RegmonDevice* device;
    static UniqueFile channel;
    static HMODULE module;
};

CRegistryMonitor* CaptureEnvironment::monitor = nullptr;
RegmonDevice* CaptureEnvironment::device = nullptr;
UniqueFile CaptureEnvironment::channel;
HMODULE CaptureEnvironment::module = nullptr;

const auto* const environment = testing::AddGlobalTestEnvironment(new CaptureEnvironment);

std::vector<std::string> ChannelMessages() {
    std::vector<std::string> messages;
    for (;;) {
        DWORD next = MAILSLOT_NO_MESSAGE;
        if (!::GetMailslotInfo(CaptureEnvironment::channel.get(), nullptr, &next, nullptr, nullptr) ||
            next == MAILSLOT_NO_MESSAGE)
            return messages;
        std::string message(next, '\0');
        DWORD read = 0;
        if (!::ReadFile(CaptureEnvironment::channel.get(), &message[0], next, &read, nullptr))
            return messages;
        messages.push_back(message.substr(0, read));
    }
}

class CaptureModule : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(CaptureEnvironment::module, nullptr);
        CaptureEnvironment::device->TakeAll();
        ChannelMessages();
    }

    // The log's lines about the test key, in order: the system's own writes in this process are
    // captured too, and are no business of these cases.
    std::vector<std::string> KeyLines() {
        const std::string marker = "HKCU\\" + key.subKey();
        std::vector<std::string> lines;
        for (const std::string& line : CaptureEnvironment::device->TakeAll())
            if (line.find(marker) != std::string::npos)
                lines.push_back(line);
        return lines;
    }

    std::string SetLine(const std::string& below, const char* type, size_t length) {
        return LoggedProcess() + "\tSetValue\tHKCU\\" + key.subKey() + "\\" + below +
               "\tSUCCESS\tType: " + type + ", Length: " + std::to_string(length);
    }
    std::string DeleteLine(const std::string& below) {
        return LoggedProcess() + "\tDeleteKey\tHKCU\\" + key.subKey() + (below.empty() ? "" : "\\" + below) +
               "\tSUCCESS\tKey deleted";
    }

    std::wstring WideSubKey(const std::string& below = "") const {
        const std::string narrow = key.subKey() + (below.empty() ? "" : "\\" + below);
        return std::wstring(narrow.begin(), narrow.end());
    }

    HKEY Open(const std::string& below = "") const {
        HKEY opened = nullptr;
        const std::string path = key.subKey() + (below.empty() ? "" : "\\" + below);
        EXPECT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &opened, nullptr),
                  ERROR_SUCCESS);
        return opened;
    }

    TestKey key{"capture"};
};

TEST_F(CaptureModule, LogsEveryValueWriteWhateverTheApi) {
    const UniqueKey opened(Open());
    const char narrow[] = "narrow";
    ASSERT_EQ(
        ::RegSetValueExA(opened.get(), "A", 0, REG_SZ, reinterpret_cast<const BYTE*>(narrow), sizeof narrow),
        ERROR_SUCCESS);
    const wchar_t wide[] = L"wide";
    ASSERT_EQ(::RegSetValueExW(opened.get(), L"W", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(wide),
                               sizeof wide),
              ERROR_SUCCESS);
    const DWORD number = 7;
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, WideSubKey("Child").c_str(), L"Number", REG_DWORD, &number,
                                sizeof number),
              ERROR_SUCCESS);
    const unsigned char bytes[3] = {1, 2, 3};
    ASSERT_EQ(
        ::SHSetValueW(HKEY_CURRENT_USER, WideSubKey().c_str(), L"Shell", REG_BINARY, bytes, sizeof bytes),
        ERROR_SUCCESS);
    ASSERT_EQ(
        ::RegSetValueExA(opened.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(narrow), sizeof narrow),
        ERROR_SUCCESS);

    // An ANSI string is stored as UTF-16: its length is the stored one.
    EXPECT_EQ(KeyLines(), (std::vector<std::string>{
                              SetLine("A", "REG_SZ", 2 * sizeof narrow),
                              SetLine("W", "REG_EXPAND_SZ", sizeof wide),
                              SetLine("Child\\Number", "REG_DWORD", 4),
                              SetLine("Shell", "REG_BINARY", 3),
                              SetLine("", "REG_SZ", 2 * sizeof narrow),
                          }));
}

TEST_F(CaptureModule, LogsEachKeyDeletedWithTheKeysBelowIt) {
    ::RegCloseKey(Open("Tree\\Leaf"));
    ::RegCloseKey(Open("Single"));
    ::RegCloseKey(Open("Shell\\Inner"));
    CaptureEnvironment::device->TakeAll();

    ASSERT_EQ(::RegDeleteTreeW(HKEY_CURRENT_USER, WideSubKey("Tree").c_str()), ERROR_SUCCESS);
    ASSERT_EQ(::RegDeleteKeyExW(HKEY_CURRENT_USER, WideSubKey("Single").c_str(), 0, 0), ERROR_SUCCESS);
    ASSERT_EQ(::SHDeleteKeyW(HKEY_CURRENT_USER, WideSubKey("Shell").c_str()), ERROR_SUCCESS);

    const std::vector<std::string> lines = KeyLines();
    for (const char* deleted : {"Tree\\Leaf", "Tree", "Single", "Shell\\Inner", "Shell"})
        EXPECT_EQ(std::count(lines.begin(), lines.end(), DeleteLine(deleted)), 1) << deleted;
    // A key's line comes after the lines of the keys below it: the parser lets each cancel writes below.
    const auto tree = std::find(lines.begin(), lines.end(), DeleteLine("Tree"));
    EXPECT_LT(std::find(lines.begin(), lines.end(), DeleteLine("Tree\\Leaf")), tree);
    EXPECT_EQ(lines.size(), 5u);
}

TEST_F(CaptureModule, LeavesFailedCallsUnloggedAndTheirResultsAsTheyWere) {
    ::RegCloseKey(Open("Locked"));
    HKEY readOnly = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, (key.subKey() + "\\Locked").c_str(), 0, KEY_READ, &readOnly),
              ERROR_SUCCESS);
    const UniqueKey owner(readOnly);
    const DWORD number = 1;
    ::SetLastError(0x1234);
    EXPECT_EQ(::RegSetValueExA(readOnly, "Denied", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(::RegDeleteKeyA(HKEY_CURRENT_USER, (key.subKey() + "\\Missing").c_str()), ERROR_FILE_NOT_FOUND);

    // A success keeps the caller's last error exactly as the system left it.
    const UniqueKey opened(Open());
    ::SetLastError(0x4321);
    ASSERT_EQ(::RegSetValueExA(opened.get(), "Kept", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(::GetLastError(), 0x4321u);

    EXPECT_EQ(KeyLines(), std::vector<std::string>{SetLine("Kept", "REG_DWORD", 4)});
}

TEST_F(CaptureModule, NamesOnTheChannelAValueTheLogCannotHold) {
    const UniqueKey opened(Open());
    const DWORD number = 1;
    // U+4E2D is in no single-byte ANSI page; a tab would split the log's line.
    ASSERT_EQ(
        ::RegSetValueExW(opened.get(), L"\x4e2d", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
        ERROR_SUCCESS);
    ASSERT_EQ(
        ::RegSetValueExW(opened.get(), L"a\tb", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
        ERROR_SUCCESS);

    EXPECT_TRUE(KeyLines().empty());
    const std::string prefix =
        "unrecorded\t" + std::to_string(::GetCurrentProcessId()) + "\t" + kProcess + "\t";
    const std::string path = "HKCU\\" + key.subKey() + "\\";
    EXPECT_EQ(ChannelMessages(),
              (std::vector<std::string>{prefix + path + "\xe4\xb8\xad", prefix + path + "a\tb"}));
}

constexpr int kThreads = 4, kWrites = 50;

struct ThreadWork {
    HKEY key;
    int index;
};

DWORD WINAPI WriteFromThread(void* parameter) {
    const ThreadWork* item = static_cast<const ThreadWork*>(parameter);
    for (int n = 0; n < kWrites; ++n) {
        const std::string name = "T" + std::to_string(item->index) + "-" + std::to_string(n);
        const DWORD value = static_cast<DWORD>(n);
        ::RegSetValueExA(item->key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    }
    return 0;
}

TEST_F(CaptureModule, MapsTheMachineHiveAndLogsFromEveryThread) {
    TestKey machine("capture", HKEY_LOCAL_MACHINE, "HKLM");
    HKEY opened = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, machine.subKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &opened, nullptr),
              ERROR_SUCCESS);
    const UniqueKey owner(opened);
    std::vector<UniqueHandle> threads;
    std::vector<ThreadWork> work;
    for (int i = 0; i < kThreads; ++i)
        work.push_back(ThreadWork{opened, i});
    for (ThreadWork& item : work)
        threads.emplace_back(::CreateThread(nullptr, 0, &WriteFromThread, &item, 0, nullptr));
    for (const UniqueHandle& thread : threads)
        ASSERT_EQ(::WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);

    const std::string marker = "\tSetValue\tHKLM\\" + machine.subKey() + "\\T";
    size_t logged = 0;
    for (const std::string& line : CaptureEnvironment::device->TakeAll())
        logged += line.rfind(LoggedProcess() + marker, 0) == 0 ? 1 : 0;
    EXPECT_EQ(logged, static_cast<size_t>(kThreads * kWrites));
}

} // namespace
