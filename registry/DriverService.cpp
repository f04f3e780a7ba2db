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

BOOL InstallAndOpenDriver(const char* serviceName, const char* driverPath, HANDLE* device) {
    if (serviceName == nullptr || driverPath == nullptr)
        return FALSE;
    if (UniqueService manager = OpenManager()) {
        RecreateService(manager.get(), serviceName, driverPath);
        StartDriverService(manager.get(), serviceName);
    }
    return OpenDriverDevice(serviceName, device);
}

BOOL StartDriverService(SC_HANDLE manager, const char* serviceName) {
    UniqueService service = OpenNamedService(manager, serviceName);
    if (!service)
        return FALSE;
    if (::StartServiceA(service.get(), 0, nullptr))
        return TRUE;
    return ::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

BOOL OpenDriverDevice(const char* serviceName, HANDLE* device) {
    if (serviceName == nullptr || std::strlen(serviceName) > kLongestDeviceName)
        return FALSE;
    char path[kDevicePathSize];
    ::wsprintfA(path, "\\\\.\\%s", serviceName);
    UniqueFile opened(::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!opened)
        return FALSE;
    if (device != nullptr)
        *device = opened.release();
    return TRUE;
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
