#include "host/sample-setup/RegistryAnnouncer.h"

#include "driver/RegmonProtocol.h"

namespace sample {

namespace {

std::string OwnExecutableName() {
    char path[MAX_PATH * 2];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string full(path, length < sizeof path ? length : 0);
    const size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

} // namespace

RegistryAnnouncer::RegistryAnnouncer()
    : device_(::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr)),
      processName_(OwnExecutableName()) {}

std::string RegistryAnnouncer::FormatLine(const std::string& process, const std::string& operation,
                                          const std::string& path, LONG result, const std::string& detail) {
    const std::string status = result == ERROR_SUCCESS ? "SUCCESS" : "ERROR " + std::to_string(result);
    return process + "\t" + operation + "\t" + path + "\t" + status + "\t" + (detail.empty() ? "-" : detail);
}

void RegistryAnnouncer::Announce(const std::string& operation, const std::string& path, LONG result,
                                 const std::string& detail) {
    if (!device_)
        return;
    const std::string line = FormatLine(processName_, operation, path, result, detail);
    if (line.size() > REGMON_MAX_LINE)
        return;
    DWORD returned = 0;
    ::DeviceIoControl(device_.get(), IOCTL_APPEND_LOG_LINE, const_cast<char*>(line.data()),
                      static_cast<DWORD>(line.size()), nullptr, 0, &returned, nullptr);
}

} // namespace sample
