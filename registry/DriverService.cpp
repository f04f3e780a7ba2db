#include "registry/DriverService.h"

#include "common/UniqueHandle.h"

#include <cstring>

namespace {

// "\\.\" and a NUL around the name must fit the 64 characters the device path is formatted into.
constexpr size_t kDevicePathSize = 64;
constexpr size_t kLongestDeviceName = kDevicePathSize - 5;

UniqueService OpenManager() {
    return UniqueService(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

UniqueService OpenNamedService(SC_HANDLE manager, const char* serviceName) {
    return UniqueService(::OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS));
}

void RecreateService(SC_HANDLE manager, const char* serviceName, const char* driverPath) {
    if (UniqueService stale = OpenNamedService(manager, serviceName))
        ::DeleteService(stale.get());
    UniqueService created(::CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS,
                                           SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           driverPath, nullptr, nullptr, nullptr, nullptr, nullptr));
}

} // namespace

UniqueFile InstallAndOpenDriver(const char* serviceName, const char* driverPath) {
    if (serviceName == nullptr || driverPath == nullptr)
        return UniqueFile();
    if (UniqueService manager = OpenManager()) {
        RecreateService(manager.get(), serviceName, driverPath);
        StartDriverService(manager.get(), serviceName);
    }
    return OpenDriverDevice(serviceName);
}

BOOL StartDriverService(SC_HANDLE manager, const char* serviceName) {
    UniqueService service = OpenNamedService(manager, serviceName);
    if (!service)
        return FALSE;
    if (::StartServiceA(service.get(), 0, nullptr))
        return TRUE;
    return ::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

UniqueFile OpenDriverDevice(const char* serviceName) {
    if (serviceName == nullptr || std::strlen(serviceName) > kLongestDeviceName)
        return UniqueFile();
    char path[kDevicePathSize];
    ::wsprintfA(path, "\\\\.\\%s", serviceName);
    return UniqueFile(::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

BOOL StopAndDeleteService(const char* serviceName) {
    if (serviceName == nullptr)
        return TRUE;
    UniqueService manager = OpenManager();
    if (!manager)
        return TRUE;
    if (UniqueService service = OpenNamedService(manager.get(), serviceName)) {
        SERVICE_STATUS status;
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        ::DeleteService(service.get());
    }
    return TRUE;
}
