// Stands in for a registry-monitor driver's own hook: tells the stand-in REGMON driver about each
// registry operation of this process, as the line the driver would have logged. Without the
// driver, or while it is not capturing, the lines are dropped without complaint.
#pragma once

#include "common/UniqueHandle.h"

#include <string>

namespace sample {

class RegistryAnnouncer {
public:
    RegistryAnnouncer();

    // One log line: this process's name, `operation`, the full registry path (root "HKLM",
    // "HKCU", ...), "SUCCESS" or the failure code, and `detail`.
    void Announce(const std::string& operation, const std::string& path, LONG result,
                  const std::string& detail);

    // The line as the driver logs it; exposed for the tests of its layout.
    static std::string FormatLine(const std::string& process, const std::string& operation,
                                  const std::string& path, LONG result, const std::string& detail);

private:
    UniqueFile device_;
    std::string processName_;
};

} // namespace sample
