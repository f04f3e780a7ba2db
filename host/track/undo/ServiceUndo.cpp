#include "host/track/undo/ServiceUndo.h"

#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <winsvc.h>

#include <memory>
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

} // namespace

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
    const UniqueService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return LeftAlone(item, ErrorText("the service manager could not be opened", ::GetLastError()));
    const UniqueService service(::OpenServiceW(manager.get(), Utf8ToWide(name).c_str(), DELETE));
    if (!service) {
        const DWORD error = ::GetLastError();
        // A key the setup wrote itself, for a service the manager never loaded: nothing to forget.
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            return UndoOutcome{true, UndoTarget(item) + ": the service manager does not know it"};
        return LeftAlone(item, ErrorText("it could not be opened", error));
    }
    if (!::DeleteService(service.get())) {
        const DWORD error = ::GetLastError();
        return LeftAlone(item, error == ERROR_SERVICE_MARKED_FOR_DELETE
                                   ? std::string("it is being deleted already")
                                   : ErrorText("it could not be deleted", error));
    }
    return Done("deleted", item);
}

} // namespace track
