// The client of the registry-monitor driver: installs it as the kernel service "REGMON", opens its
// device, switches capture on and off, pulls its log on a 500 ms thread timer and turns the log into
// registry change records when capture stops.
//
// Threading: no thread of its own and no lock. Start, the timer ticks and Stop run on the thread that
// calls Start, which must dispatch messages while capturing. One monitor per process.
#pragma once

#include "include/IConfInfoInc.h"

#include <set>
#include <string>

class CRegistryMonitor {
public:
    // Never fails outward: without a usable driver the monitor is inert and its change set empty.
    CRegistryMonitor();
    ~CRegistryMonitor();
    CRegistryMonitor(const CRegistryMonitor&) = delete;
    CRegistryMonitor& operator=(const CRegistryMonitor&) = delete;

    // Clears the results and switches capture on. Both arguments are ignored.
    void Start(int target, const std::string& targetName);
    // Switches capture off and parses what was pulled into the change set.
    void Stop();
    const std::set<IConfInfoInc::_ConfInfo>& GetChanges() const;

    // (private members: the implementer of this class adds them)
};
