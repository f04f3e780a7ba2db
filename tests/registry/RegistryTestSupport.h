// Helpers of the registry tests: a scratch registry key, log lines, a second handle on the
// driver's device (to announce registry writes and to look at the log), the REGMON service's state.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "tests/support/TestSupport.h"

#include <string>
#include <vector>

namespace registry_tests {

// A fresh key below <root>\Software\OrvaneTests, removed with everything in it at destruction.
class TestKey {
public:
    // `rootName` is the root as the log names it.
    explicit TestKey(const std::string& tag, HKEY root = HKEY_CURRENT_USER,
                     const std::string& rootName = "HKCU");
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    // "Software\OrvaneTests\<tag>-<unique>", and the same below the root as the log names it.
    const std::string& subKey() const { return subKey_; }
    std::string LogPath(const std::string& below) const { return rootName_ + "\\" + subKey_ + "\\" + below; }

    // Sets value `name` of the key `child` below this one ("" for this key itself).
    void Set(const std::string& child, const std::string& name, DWORD type, const std::string& data) const;
    void SetString(const std::string& name, const std::string& text) const;
    void DeleteValue(const std::string& child, const std::string& name) const;
    // Lets everyone read the key `child` but nobody change it, or open it with full access.
    void MakeReadOnly(const std::string& child) const;

private:
    HKEY root_;
    std::string rootName_;
    std::string subKey_;
};

// A tab-separated log line as the driver writes one.
std::string LogLine(const std::string& process, const std::string& operation, const std::string& path,
                    const std::string& result = "SUCCESS", const std::string& detail = "Type: REG_SZ");

// The standard Base64 decoding of `text`, padding included; "!" marks text that is not valid Base64.
std::string DecodeBase64(const std::string& text);

// The driver's device, opened a second time beside the monitor's own handle.
class RegmonDevice {
public:
    RegmonDevice();
    bool valid() const { return handle_.valid(); }
    // Sends one control code; answers success, and keeps the error and the bytes returned.
    bool Control(DWORD code, const void* input, DWORD inputSize, void* output = nullptr,
                 DWORD outputSize = 0);
    bool Append(const std::string& line) { return Control(0x83052000u, line.data(), DWORD(line.size())); }
    // Reads and walks the log until it is empty; answers the texts in order.
    std::vector<std::string> TakeAll();
    DWORD lastError() const { return lastError_; }
    DWORD bytesReturned() const { return bytesReturned_; }

private:
    UniqueFile handle_;
    DWORD lastError_ = 0;
    DWORD bytesReturned_ = 0;
};

using test_support::ServiceExists;
bool ServiceRunning(const char* name = "REGMON");
// Creates a kernel-driver service for `driverFile`, starting it when asked; true when created
// (and started, when asked).
bool InstallService(const std::string& driverFile, bool start, const char* name = "REGMON");
// Stops and deletes the service if it exists.
void RemoveService(const char* name = "REGMON");

// <system directory>\drivers\<file>
std::string DriverFile(const std::string& file);

// Dispatches messages for a few 500 ms periods, measured by a timer of the test's own, so that a
// tick that should not come has every chance to come.
void PumpThroughTicks(int periods);

// Ends the test program with a message unless the scope is left within `timeoutMs`: a call that
// never returns fails its test at once instead of stalling the run until the suite's timeout.
class Watchdog {
public:
    Watchdog(DWORD timeoutMs, std::string what);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static unsigned __stdcall Run(void* self) noexcept;

    DWORD timeoutMs_;
    std::string what_;
    UniqueHandle left_;
    UniqueHandle thread_;
};

} // namespace registry_tests
