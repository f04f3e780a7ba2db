// What the registry suites and the drain benchmark reach inside CRegistryMonitor: one timer tick
// on demand, and the raw lines and entries the passes work on.
#pragma once

#include "registry/RegistryMonitor.h"

#include <list>

class RegistryMonitorTestPeer {
public:
    static void PullLog(CRegistryMonitor& monitor) { monitor.PullLog(); }
    static void ParseLog(CRegistryMonitor& monitor) { monitor.ParseLog(); }
    static const RawLineList& RawLines(const CRegistryMonitor& monitor) { return monitor.rawLines_; }
    static const std::list<_RegLogEntry>& Entries(const CRegistryMonitor& monitor) {
        return monitor.entries_;
    }
};
