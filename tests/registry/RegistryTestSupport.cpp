#include "tests/registry/RegistryTestSupport.h"

#include "driver/RegmonProtocol.h"
#include "host/track/result/Base64.h"
#include "registry/LogFraming.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <process.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace registry_tests {

namespace {

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount()) + "-" +
           std::to_string(counter++);
}

UniqueKey CreateKey(HKEY root, const std::string& subKey) {
    HKEY key = nullptr;
    if (::RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + subKey);
    return UniqueKey(key);
}

std::string Join(const std::string& key, const std::string& child) {
    return child.empty() ? key : key + "\\" + child;
}

void SetKeyDacl(HKEY root, const std::string& subKey, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        throw std::runtime_error("bad descriptor");
    HKEY key = nullptr;
    const LONG opened = ::RegOpenKeyExA(root, subKey.c_str(), 0, WRITE_DAC, &key);
    if (opened == ERROR_SUCCESS) {
        ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        ::RegCloseKey(key);
    }
    ::LocalFree(descriptor);
}

// Gives back full access below a key, so that a read-only child does not stop its removal.
void UnlockTree(HKEY root, const std::string& subKey) {
    SetKeyDacl(root, subKey, "D:(A;;KA;;;WD)");
    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    UniqueKey owner(key);
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        if (::RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        UnlockTree(root, subKey + "\\" + name);
    }
}

} // namespace

TestKey::TestKey(const std::string& tag, HKEY root, const std::string& rootName)
    : root_(root), rootName_(rootName), subKey_("Software\\OrvaneTests\\" + tag + "-" + UniqueSuffix()) {
    CreateKey(root_, subKey_);
}

TestKey::~TestKey() {
    UnlockTree(root_, subKey_);
    ::RegDeleteTreeA(root_, subKey_.c_str());
    ::RegDeleteKeyA(root_, subKey_.c_str());
    ::RegDeleteKeyA(root_, "Software\\OrvaneTests"); // only when no other test uses it
}

void TestKey::Set(const std::string& child, const std::string& name, DWORD type,
                  const std::string& data) const {
    UniqueKey key = CreateKey(root_, Join(subKey_, child));
    if (::RegSetValueExA(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                         DWORD(data.size())) != ERROR_SUCCESS)
        throw std::runtime_error("cannot set " + name);
}

void TestKey::SetString(const std::string& name, const std::string& text) const {
    Set("", name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

void TestKey::DeleteValue(const std::string& child, const std::string& name) const {
    UniqueKey key = CreateKey(root_, Join(subKey_, child));
    ::RegDeleteValueA(key.get(), name.c_str());
}

void TestKey::MakeReadOnly(const std::string& child) const {
    SetKeyDacl(root_, Join(subKey_, child), "D:P(A;;KR;;;WD)");
}

std::string LogLine(const std::string& process, const std::string& operation, const std::string& path,
                    const std::string& result, const std::string& detail) {
    return process + "\t" + operation + "\t" + path + "\t" + result + "\t" + detail;
}

// The host's decoder, held to the padded form the library always writes.
std::string DecodeBase64(const std::string& text) {
    if (text.size() % 4 != 0)
        return "!";
    const auto bytes = track::DecodeBase64(text);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "!";
}

RegmonDevice::RegmonDevice()
    : handle_(::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}

bool RegmonDevice::Control(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
    bytesReturned_ = 0;
    const BOOL ok = ::DeviceIoControl(handle_.get(), code, const_cast<void*>(input), inputSize, output,
                                      outputSize, &bytesReturned_, nullptr);
    lastError_ = ok ? 0 : ::GetLastError();
    return ok != FALSE;
}

std::vector<std::string> RegmonDevice::TakeAll() {
    std::vector<char> block(REGMON_READ_SIZE);
    RawLineList lines;
    while (Control(IOCTL_READ_LOG, nullptr, 0, block.data(), DWORD(block.size())) && bytesReturned_ != 0)
        AppendLogRecords(block.data(), bytesReturned_, block.size(), lines);
    return std::vector<std::string>(lines.begin(), lines.end());
}

namespace {

UniqueService OpenService(const char* name, DWORD access = SERVICE_ALL_ACCESS) {
    UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return UniqueService();
    return UniqueService(::OpenServiceA(manager.get(), name, access));
}

} // namespace

bool ServiceRunning(const char* name) {
    UniqueService service = OpenService(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    return service && ::QueryServiceStatus(service.get(), &status) &&
           status.dwCurrentState == SERVICE_RUNNING;
}

bool InstallService(const std::string& driverFile, bool start, const char* name) {
    UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return false;
    UniqueService service(::CreateServiceA(manager.get(), name, name, SERVICE_ALL_ACCESS,
                                           SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           driverFile.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        return false;
    return !start || ::StartServiceA(service.get(), 0, nullptr);
}

void RemoveService(const char* name) {
    if (UniqueService service = OpenService(name)) {
        SERVICE_STATUS status;
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        ::DeleteService(service.get());
    }
}

std::string DriverFile(const std::string& file) {
    char system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(system, sizeof system);
    return std::string(system, length) + "\\drivers\\" + file;
}

namespace {

thread_local int t_clockTicks = 0;

void CALLBACK CountClockTick(HWND, UINT, UINT_PTR, DWORD) {
    ++t_clockTicks;
}

} // namespace

void PumpThroughTicks(int periods) {
    t_clockTicks = 0;
    const UINT_PTR clock = ::SetTimer(nullptr, 0, 500, CountClockTick);
    ASSERT_NE(clock, 0u);
    EXPECT_TRUE(test_support::PumpMessagesUntil([periods] { return t_clockTicks >= periods; }, 30000));
    ::KillTimer(nullptr, clock);
}

Watchdog::Watchdog(DWORD timeoutMs, std::string what)
    : timeoutMs_(timeoutMs), what_(std::move(what)), left_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!left_)
        throw std::runtime_error("watchdog: no event");
    thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Run, this, 0, nullptr)));
    if (!thread_)
        throw std::runtime_error("watchdog: no thread");
}

Watchdog::~Watchdog() {
    ::SetEvent(left_.get());
    ::WaitForSingleObject(thread_.get(), INFINITE);
}

unsigned __stdcall Watchdog::Run(void* argument) noexcept {
    auto* self = static_cast<Watchdog*>(argument);
    if (::WaitForSingleObject(self->left_.get(), self->timeoutMs_) == WAIT_OBJECT_0)
        return 0;
    std::fprintf(stderr, "watchdog: %s did not end within %lu ms\n", self->what_.c_str(),
                 static_cast<unsigned long>(self->timeoutMs_));
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 99);
    return 1;
}

} // namespace registry_tests
