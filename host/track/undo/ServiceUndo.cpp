#include "host/track/undo/ServiceUndo.h"

#include "host/track/result/TextEncoding.h"

#include "common/Tick.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <winsvc.h>

#include <memory>
#include <string>
#include <type_traits>

namespace track {

namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using UniqueService = std::unique_ptr<std::remove_pointer<SC_HANDLE>::type, ServiceHandleCloser>;

// Whether the service's key is still there, in the 64-bit view where there is one.
bool KeyIsThere(const std::string& path, LONG& result) {
    std::string root, subKey;
    SplitRegistryPath(path, root, subKey);
    HKEY key = nullptr;
    result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToWide(subKey).c_str(), 0,
                             KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (result == ERROR_SUCCESS)
        ::RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

// A service asked to stop reports its progress only when asked: the service manager of Windows
// before Vista has no call that waits for a state.
constexpr ULONGLONG kStopWaitMs = 30000;
constexpr DWORD kStopPollMs = 100;

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &needed) != FALSE;
}

struct OpenedService {
    UniqueService manager;
    UniqueService service; // null when `instead` says what came of the item
    UndoOutcome instead;
};

// The service of the item's key, opened with `access`. A service the manager does not know (a key
// the setup wrote itself, for a service the manager never loaded) leaves nothing to do: done.
OpenedService OpenItemService(const UndoItem& item, const std::string& name, DWORD access) {
    OpenedService opened;
    opened.manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!opened.manager) {
        opened.instead =
            LeftAlone(item, ErrorText("the service manager could not be opened", ::GetLastError()));
        return opened;
    }
    opened.service.reset(::OpenServiceW(opened.manager.get(), Utf8ToWide(name).c_str(), access));
    if (!opened.service) {
        const DWORD error = ::GetLastError();
        opened.instead = error == ERROR_SERVICE_DOES_NOT_EXIST
                             ? UndoOutcome{true, UndoTarget(item) + ": the service manager does not know it"}
                             : LeftAlone(item, ErrorText("it could not be opened", error));
    }
    return opened;
}

// Waits until the service reports that it stopped, then until `process` (where there is one) has
// ended, both by `deadline`; answers why not, or nothing.
std::string WaitUntilStopped(SC_HANDLE service, HANDLE process, ULONGLONG deadline) {
    const std::string bound = std::to_string(kStopWaitMs / 1000) + " seconds";
    for (SERVICE_STATUS_PROCESS status{};;) {
        if (!QueryStatus(service, status))
            return ErrorText("its state could not be read", ::GetLastError());
        if (status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (TickCount64() >= deadline)
            return "it did not stop within " + bound;
        ::Sleep(kStopPollMs);
    }
    if (process != nullptr) {
        const ULONGLONG now = TickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (::WaitForSingleObject(process, left) != WAIT_OBJECT_0)
            return "it stopped, but its process did not end within " + bound;
    }
    return std::string();
}

UndoOutcome NotRunning(const UndoItem& item) {
    return UndoOutcome{true, UndoTarget(item) + ": not running"};
}

// Some service managers (ReactOS's) refuse to forget a service whose key is already gone, with
// ERROR_FILE_NOT_FOUND. The key is made again, empty, for the manager to delete; where the manager
// still refuses, the empty key goes again, so that the registry is left as the undo found it.
BOOL DeleteServiceWithoutItsKey(SC_HANDLE service, const std::string& path) {
    if (::DeleteService(service))
        return TRUE;
    if (::GetLastError() != ERROR_FILE_NOT_FOUND)
        return FALSE;
    std::string root, subKey;
    SplitRegistryPath(path, root, subKey);
    const std::wstring wideSubKey = Utf8ToWide(subKey);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, wideSubKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr, &key, &disposition) != ERROR_SUCCESS) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    ::RegCloseKey(key);
    // A manager that marked the service at the first call and failed only on its key says so now:
    // the service is gone once its last handle closes.
    const BOOL forgotten =
        ::DeleteService(service) || ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE ? TRUE : FALSE;
    const DWORD error = ::GetLastError();
    if (disposition == REG_CREATED_NEW_KEY)
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, wideSubKey.c_str()); // the services' keys have one view
    ::SetLastError(error);
    return forgotten;
}

} // namespace

UndoOutcome StopServiceItem(const UndoItem& item) {
    std::string name;
    if (!ServiceOfKey(item.path, name))
        return LeftAlone(item, "its key is no service's key");
    const OpenedService opened = OpenItemService(item, name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    const SC_HANDLE service = opened.service.get();
    if (service == nullptr)
        return opened.instead;
    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(service, status))
        return LeftAlone(item, ErrorText("its state could not be read", ::GetLastError()));
    if (status.dwCurrentState == SERVICE_STOPPED)
        return NotRunning(item);
    // A service of its own process holds its program until that process has ended, a moment after
    // it reports that it stopped: the process is waited for too, opened now so that its id cannot
    // meanwhile name another.
    const UniqueHandle process((status.dwServiceType & SERVICE_WIN32_OWN_PROCESS) != 0 &&
                                       status.dwProcessId != 0
                                   ? ::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId)
                                   : nullptr);
    SERVICE_STATUS asked{};
    if (status.dwCurrentState != SERVICE_STOP_PENDING &&
        !::ControlService(service, SERVICE_CONTROL_STOP, &asked)) {
        const DWORD error = ::GetLastError();
        return error == ERROR_SERVICE_NOT_ACTIVE
                   ? NotRunning(item)
                   : LeftAlone(item, ErrorText("it could not be stopped", error));
    }
    const std::string failure = WaitUntilStopped(service, process.get(), TickCount64() + kStopWaitMs);
    return failure.empty() ? Done("stopped", item) : LeftAlone(item, failure);
}

UndoOutcome UndoServiceItem(const UndoItem& item) {
    std::string name;
    if (!ServiceOfKey(item.path, name))
        return LeftAlone(item, "its key is no service's key");
    LONG opened = ERROR_SUCCESS;
    if (KeyIsThere(item.path, opened))
        return LeftAlone(item,
                         opened == ERROR_SUCCESS
                             ? "its key is still there: something in it was left alone"
                             : ErrorText("its key could not be read", static_cast<unsigned long>(opened)));
    const OpenedService service = OpenItemService(item, name, DELETE);
    if (!service.service)
        return service.instead;
    if (!DeleteServiceWithoutItsKey(service.service.get(), item.path)) {
        const DWORD error = ::GetLastError();
        return LeftAlone(item, error == ERROR_SERVICE_MARKED_FOR_DELETE
                                   ? std::string("it is being deleted already")
                                   : ErrorText("it could not be deleted", error));
    }
    return Done("deleted", item);
}

} // namespace track
