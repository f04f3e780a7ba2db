#include "registry/DriverService.h"

#include "common/UniqueHandle.h"

#include <cstring>
#include <utility>

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

// The error of the creation, or ERROR_SUCCESS: a failure there is not final, since a driver still
// running under a stale service opens all the same.
DWORD RecreateService(SC_HANDLE manager, const char* serviceName, const char* driverPath) {
    if (UniqueService stale = OpenNamedService(manager, serviceName))
        ::DeleteService(stale.get());
    UniqueService created(::CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS,
                                           SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           driverPath, nullptr, nullptr, nullptr, nullptr, nullptr));
    return created ? ERROR_SUCCESS : ::GetLastError();
}

struct DriverAttempt {
    UniqueFile device;
    DWORD error = ERROR_SUCCESS; // of the step that kept the device closed
    bool mayPassSoon = false;
};

// A service manager that is busy starting other services or a deletion still pending while the
// last handles to the old service close passes within moments; a missing or refused driver file
// does not. An internal error is taken as passing too: under Wine, a start right after the previous
// instance stopped has failed with one, most likely served by the driver host that was dying then
// (Wine hands a late close to the driver it has just unloaded); the next start gets a new host.
bool ServiceErrorMayPassSoon(DWORD error) {
    switch (error) {
    case ERROR_SERVICE_DATABASE_LOCKED:
    case ERROR_SERVICE_MARKED_FOR_DELETE:
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
    case RPC_S_SERVER_UNAVAILABLE:
    case RPC_S_SERVER_TOO_BUSY:
    case ERROR_INTERNAL_ERROR:
        return true;
    default:
        return false;
    }
}

DriverAttempt InstallAndOpenOnce(const char* serviceName, const char* driverPath) {
    DriverAttempt attempt;
    UniqueService manager = OpenManager();
    if (!manager) {
        attempt.error = ::GetLastError();
        attempt.mayPassSoon = ServiceErrorMayPassSoon(attempt.error);
        return attempt;
    }
    const DWORD created = RecreateService(manager.get(), serviceName, driverPath);
    const BOOL started = StartDriverService(manager.get(), serviceName);
    const DWORD startError = started ? ERROR_SUCCESS : ::GetLastError();
    attempt.device = OpenDriverDevice(serviceName);
    if (attempt.device)
        return attempt;
    if (!started) {
        attempt.error = startError;
        attempt.mayPassSoon = ServiceErrorMayPassSoon(startError) || ServiceErrorMayPassSoon(created);
    } else {
        // Started, yet no device: it may not have been created by the time the start returned, or
        // the open met a dying driver host.
        attempt.error = ::GetLastError();
        attempt.mayPassSoon = attempt.error == ERROR_FILE_NOT_FOUND || attempt.error == ERROR_INTERNAL_ERROR;
    }
    return attempt;
}

constexpr int kInstallAttempts = 4;
constexpr DWORD kInstallRetryPauseMs = 250;

} // namespace

UniqueFile InstallAndOpenDriver(const char* serviceName, const char* driverPath, DWORD* failure) {
    DWORD error = ERROR_INVALID_PARAMETER;
    if (serviceName != nullptr && driverPath != nullptr) {
        for (int attempt = 1;; ++attempt) {
            DriverAttempt result = InstallAndOpenOnce(serviceName, driverPath);
            error = result.error;
            if (result.device)
                return std::move(result.device);
            if (attempt == kInstallAttempts || !result.mayPassSoon)
                break;
            // Short and bounded: the start itself already blocks this thread for as long as the
            // driver's initialisation takes.
            ::Sleep(kInstallRetryPauseMs);
        }
    }
    if (failure != nullptr)
        *failure = error;
    return UniqueFile();
}

BOOL StartDriverService(SC_HANDLE manager, const char* serviceName) {
    UniqueService service = OpenNamedService(manager, serviceName);
    if (!service)
        return FALSE;
    if (::StartServiceA(service.get(), 0, nullptr))
        return TRUE;
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING)
        return TRUE;
    service.reset();
    ::SetLastError(error); // closing the handle must not hide why the start failed
    return FALSE;
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
