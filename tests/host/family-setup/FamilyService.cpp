// orvane-family-service: a service program for the family setup to install and start, so that the
// undo meets a service of the setup's that runs. Started by the service manager, it runs until it is
// told to stop, and at most ten minutes, so that a test that fails to stop it leaves nothing behind
// for long. Started from a command line, it says so and exits with 2.
#include "common/Win32.h"

#include <cstdio>

namespace {

constexpr DWORD kLongestRunMs = 10 * 60 * 1000;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopAsked = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    if (control != SERVICE_CONTROL_STOP)
        return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
    Report(SERVICE_STOP_PENDING);
    ::SetEvent(stopAsked);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t** arguments) {
    statusHandle = ::RegisterServiceCtrlHandlerExW(arguments[0], &Control, nullptr);
    if (statusHandle == nullptr)
        return;
    stopAsked = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopAsked == nullptr) {
        Report(SERVICE_STOPPED);
        return;
    }
    Report(SERVICE_RUNNING);
    ::WaitForSingleObject(stopAsked, kLongestRunMs);
    ::CloseHandle(stopAsked);
    Report(SERVICE_STOPPED);
}

} // namespace

int main() {
    wchar_t name[] = L"";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        std::fprintf(stderr, "orvane-family-service: not started by the service manager (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 2;
    }
    return 0;
}
