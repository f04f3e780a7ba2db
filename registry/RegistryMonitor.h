// The client of the registry-monitor driver: installs it as the kernel service "REGMON", opens its
// device, switches capture on and off, pulls its log on a 500 ms timer of the thread that calls
// Start and turns the log into registry change records when capture stops.
//
// Threading: no thread of its own and no lock. Start, the timer ticks and Stop run on the thread that
// calls Start, which must dispatch messages while capturing. One monitor per process. The destructor
// may run on another thread (library unload): it never waits for the Start thread to dispatch, and
// it leaves that thread nothing that runs this library's code (ThreadTimer says how). A tick that is
// running on the Start thread at that moment is waited for, a bounded time.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "driver/RegmonProtocol.h"
#include "include/IConfInfoInc.h"
#include "registry/LogParser.h"
#include "registry/RawLineList.h"
#include "registry/ThreadTimer.h"

#include <atomic>
#include <list>
#include <memory>
#include <set>
#include <string>

class CRegistryMonitor {
public:
    // Never fails outward: without a usable driver the monitor is inert and its change set empty.
    CRegistryMonitor();
    // The same with another driver file in place of <system directory>\drivers\REGSYS.SYS.
    explicit CRegistryMonitor(const std::string& driverPath);
    ~CRegistryMonitor();
    CRegistryMonitor(const CRegistryMonitor&) = delete;
    CRegistryMonitor& operator=(const CRegistryMonitor&) = delete;

    // Clears the results and switches capture on. Both arguments are ignored. A Start during
    // capture kills the running pull timer before it sets a new one.
    void Start(int target, const std::string& targetName);
    // Switches capture off, takes what the driver logged since the last tick (at most one tick's
    // worth, and nothing when the driver did not switch capture off), and parses every pulled line
    // into the change set.
    void Stop();
    const std::set<IConfInfoInc::_ConfInfo>& GetChanges() const;

    // What a host never needs, for tests and diagnostics.
    bool HasDriver() const { return device_.valid(); }
    DWORD DriverVersion() const { return driverVersion_; }
    // Why the device did not open: the error of the step that kept it closed; 0 once it opened.
    DWORD DriverFailure() const { return driverFailure_; }
    bool IsPulling() const { return pullTimer_.running(); }

private:
    friend class RegistryMonitorTestPeer;
    // The pull timer's tick, on the thread that started capture.
    static void OnPullTimer(void* monitor) noexcept;

    // One timer tick: reads the driver's log into the raw lines until it is empty or more than
    // 500 ms have passed.
    void PullLog();
    // The three parsing passes over the raw lines, into the entries and the change set.
    void ParseLog();
    void GiveUpDriver();
    void SendFilter();
    void KillPullTimer();
    bool Control(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize);

    std::set<IConfInfoInc::_ConfInfo> changes_;
    UniqueFile device_;
    REGMON_FILTER filter_{};
    DWORD bytesReturned_ = 0;
    DWORD driverVersion_ = 0;
    DWORD driverFailure_ = ERROR_SUCCESS;
    std::list<_RegLogEntry> entries_;
    RawLineList rawLines_;
    bool captureBegun_ = false; // by this monitor's Start, since the last Stop; the log is ours only then
    ThreadTimer pullTimer_;     // running from a successful Start until Stop or destruction
    std::unique_ptr<char[]> readBlock_; // where each read of the log lands
};

// The monitor that is capturing: set by Start, untied by Stop and by the destructor. Atomic because
// the destructor may run on another thread than the ticks.
extern std::atomic<CRegistryMonitor*> g_timerMonitor;
