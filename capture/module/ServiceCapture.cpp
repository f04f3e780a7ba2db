#include "capture/module/ServiceCapture.h"

#include "capture/InlineHook.h"
#include "capture/LastErrorKeeper.h"
#include "capture/module/OldStateLog.h"
#include "capture/module/ReentryGuard.h"
#include "capture/module/RegistryReads.h"
#include "capture/module/ServiceKeys.h"
#include "common/UniqueHandle.h"

#include <winsvc.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace capture {

namespace {

typedef SC_HANDLE(WINAPI OpenServiceWFunction)(SC_HANDLE, LPCWSTR, DWORD);
typedef SC_HANDLE(WINAPI OpenServiceAFunction)(SC_HANDLE, LPCSTR, DWORD);
typedef SC_HANDLE(WINAPI CreateServiceWFunction)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD,
                                                 LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);
typedef SC_HANDLE(WINAPI CreateServiceAFunction)(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD,
                                                 LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR);
typedef BOOL(WINAPI ChangeConfigWFunction)(SC_HANDLE, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR,
                                           LPCWSTR, LPCWSTR, LPCWSTR);
typedef BOOL(WINAPI ChangeConfigAFunction)(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR,
                                           LPCSTR, LPCSTR, LPCSTR);
typedef BOOL(WINAPI ChangeConfig2Function)(SC_HANDLE, DWORD, LPVOID);
typedef BOOL(WINAPI DeleteServiceFunction)(SC_HANDLE);
typedef NTSTATUS(NTAPI LdrLoadDllFunction)(PWSTR, PULONG, PUNICODE_STRING, PVOID*);

// The service manager's own bound on a service's name.
constexpr size_t kLongestServiceName = 256;
// Handles remembered at once; a process that keeps more open loses the oldest names, and a change
// through one of those is said as not recorded.
constexpr size_t kRememberedHandles = 1024;
constexpr uintptr_t kPageSize = 4096;

// Everything the detours use. One instance, never freed: a detour may run until the process ends.
struct ServiceCaptureState {
    ServiceCaptureHost host;
    DWORD callSlot = TLS_OUT_OF_INDEXES; // set while a thread is inside a hooked service call
    CRITICAL_SECTION handlesLock;
    std::vector<std::pair<SC_HANDLE, std::wstring>> handles; // newest last
    volatile LONG hooking = 0;                               // 1 once a thread took on the hooking
    volatile LONG unknownHandleSaid = 0;
    volatile LONG incompleteSaid = 0;
    OpenServiceWFunction* openW = nullptr;
    OpenServiceAFunction* openA = nullptr;
    CreateServiceWFunction* createW = nullptr;
    CreateServiceAFunction* createA = nullptr;
    ChangeConfigWFunction* changeW = nullptr;
    ChangeConfigAFunction* changeA = nullptr;
    ChangeConfig2Function* change2W = nullptr;
    ChangeConfig2Function* change2A = nullptr;
    DeleteServiceFunction* deleteService = nullptr;
    LdrLoadDllFunction* loadDll = nullptr;
    InlineHook hooks[10];
};

ServiceCaptureState* services = nullptr;

void SayOnce(volatile LONG& said, const std::wstring& reason) {
    if (::InterlockedExchange(&said, 1) == 0 && services->host.say != nullptr)
        services->host.say(reason);
}

// A touched page not touched by the character before: each page the text reaches is checked once.
template <typename Char>
bool EntersPage(const Char* at, size_t index) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(at);
    return index == 0 || (start + sizeof(Char) - 1) / kPageSize != (start - 1) / kPageSize;
}

// The service name the program passed, read only where it lies in readable memory; false for a
// name the service manager would refuse anyway (null, empty, unreadable, too long).
bool CopyCallerName(const wchar_t* text, std::wstring& copy) {
    copy.clear();
    if (text == nullptr)
        return false;
    for (size_t index = 0; index <= kLongestServiceName; ++index) {
        if (EntersPage(text + index, index) && !IsReadable(text + index, sizeof(wchar_t)))
            return false;
        if (text[index] == L'\0')
            return !copy.empty();
        copy.push_back(text[index]);
    }
    return false;
}

bool CopyCallerName(const char* text, std::wstring& copy) {
    std::string narrow;
    copy.clear();
    if (text == nullptr)
        return false;
    for (size_t index = 0;; ++index) {
        if (index > kLongestServiceName * 2)
            return false;
        if (EntersPage(text + index, index) && !IsReadable(text + index, 1))
            return false;
        if (text[index] == '\0')
            break;
        narrow.push_back(text[index]);
    }
    if (narrow.empty())
        return false;
    const int length =
        ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    if (length <= 0)
        return false;
    copy.resize(static_cast<size_t>(length));
    return ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &copy[0],
                                 length) == length;
}

void RememberHandle(SC_HANDLE handle, const std::wstring& name) {
    const ScopedCriticalSection locked(services->handlesLock);
    auto& handles = services->handles;
    for (auto entry = handles.begin(); entry != handles.end(); ++entry) {
        if (entry->first == handle) {
            handles.erase(entry);
            break;
        }
    }
    if (handles.size() >= kRememberedHandles)
        handles.erase(handles.begin());
    handles.emplace_back(handle, name);
}

std::wstring NameOfHandle(SC_HANDLE handle) {
    const ScopedCriticalSection locked(services->handlesLock);
    for (const auto& entry : services->handles) {
        if (entry.first == handle)
            return entry.second;
    }
    return std::wstring();
}

// Marks a thread as inside a hooked service call, across the original call: an A entry that calls
// its W form on this system is recorded once, by the outer detour.
class ServiceCallScope {
public:
    ServiceCallScope() : outer_(::TlsGetValue(services->callSlot) == nullptr) {
        if (outer_)
            ::TlsSetValue(services->callSlot, reinterpret_cast<void*>(1));
    }
    ~ServiceCallScope() {
        if (outer_)
            ::TlsSetValue(services->callSlot, nullptr);
    }
    ServiceCallScope(const ServiceCallScope&) = delete;
    ServiceCallScope& operator=(const ServiceCallScope&) = delete;
    bool outer() const { return outer_; }

private:
    bool outer_;
};

// Runs the capture's own work around a call: the program's last error kept, no capture of the
// capture's own calls, nothing thrown at the program.
template <typename Work>
void AsCaptureWork(Work work) {
    const LastErrorKeeper keepLastError;
    const ReentryGuard guard(services->host.guardSlot);
    if (!guard.entered())
        return;
    try {
        work();
    } catch (...) {
        SayOnce(services->incompleteSaid, L"a change it asked the service manager for could not be recorded: "
                                          L"out of memory");
    }
}

// One call that may change a service's key: the key read before it, and what differs after it
// logged and its old state kept.
class ServiceChange {
public:
    explicit ServiceChange(const std::wstring& name) {
        if (!scope_.outer() || name.empty())
            return;
        AsCaptureWork([&] {
            before_ = ReadServiceKey(*services->host.nt, name);
            sequence_ = OldStateLog::NextSequence();
            name_ = name;
        });
    }

    // For a change through a handle: the handle's service, as OpenService or CreateService named it.
    explicit ServiceChange(SC_HANDLE service) : ServiceChange(NameOf(service)) { handle_ = service; }

    // Before DeleteService: the whole key, as before a key's deletion.
    void KeepDeletedTree() {
        if (name_.empty() || !before_.exists)
            return;
        AsCaptureWork([&] {
            RegistryOldState& old = *services->host.registryOld;
            if (!old.Usable())
                return;
            NTSTATUS status = 0;
            const UniqueHandle key =
                OpenKeyBelow(*services->host.nt, nullptr, ServiceKeyPath(name_),
                             KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, OBJ_CASE_INSENSITIVE, status);
            if (key)
                old.KeepDeletedTree(key.get(), before_.keys.front().kernelName);
        });
    }

    void Deleted(bool succeeded) {
        SayIfUnknown(succeeded);
        if (!succeeded || name_.empty() || !before_.exists)
            return;
        AsCaptureWork([&] {
            // The manager deletes the key once the service's last handle is closed; the tracker
            // reads it back at the end.
            if (services->host.logDeletedKey != nullptr)
                services->host.logDeletedKey(before_.keys.front().kernelName);
        });
    }

    void Changed(bool succeeded) {
        SayIfUnknown(succeeded);
        if (!succeeded || name_.empty())
            return;
        AsCaptureWork([&] {
            const ServiceKeyTree after = ReadServiceKey(*services->host.nt, name_);
            if (!before_.complete || !after.complete)
                services->host.say(L"the key of the service " + name_ +
                                   L" could not be read whole: what the service manager changed in it may "
                                   L"be missing");
            Record(CompareServiceKeys(before_, after));
        });
    }

private:
    static std::wstring NameOf(SC_HANDLE service) {
        std::wstring name;
        AsCaptureWork([&] { name = NameOfHandle(service); });
        return name;
    }

    // A change that succeeded through a handle this process got before the hooks were in place.
    void SayIfUnknown(bool succeeded) {
        if (succeeded && scope_.outer() && name_.empty() && handle_ != nullptr)
            AsCaptureWork([] {
                SayOnce(services->unknownHandleSaid,
                        L"a service changed through a handle it opened before the capture could see it "
                        L"is not recorded");
            });
    }

    void Record(const ServiceKeyChanges& changes) {
        RegistryOldState& old = *services->host.registryOld;
        for (const std::wstring& key : changes.keysCreated)
            old.KeepReadCreation(key, sequence_);
        for (const ServiceKeyChanges::Value& value : changes.values) {
            const std::wstring& name = value.after != nullptr ? value.after->name : value.before->name;
            old.KeepReadValue(value.keyName, value.before, name, sequence_);
            if (value.after != nullptr && services->host.logValue != nullptr)
                services->host.logValue(value.keyName, name, value.after->type,
                                        static_cast<ULONG>(value.after->length));
        }
        for (const std::wstring& key : changes.keysDeleted) {
            if (services->host.logDeletedKey != nullptr)
                services->host.logDeletedKey(key);
        }
    }

    ServiceCallScope scope_;
    SC_HANDLE handle_ = nullptr; // the service's handle, for a change through one
    std::wstring name_;          // empty: nothing to record
    ServiceKeyTree before_;
    uint64_t sequence_ = 0;
};

template <typename Char>
void RememberOpened(SC_HANDLE handle, const Char* name) {
    if (handle == nullptr)
        return;
    AsCaptureWork([&] {
        std::wstring copy;
        if (CopyCallerName(name, copy))
            RememberHandle(handle, copy);
    });
}

template <typename Char>
std::wstring CallerName(const Char* name) {
    std::wstring copy;
    AsCaptureWork([&] { CopyCallerName(name, copy); });
    return copy;
}

SC_HANDLE WINAPI OpenServiceWDetour(SC_HANDLE manager, LPCWSTR name, DWORD access) {
    const ServiceCallScope scope;
    const SC_HANDLE handle = services->openW(manager, name, access);
    if (scope.outer())
        RememberOpened(handle, name);
    return handle;
}

SC_HANDLE WINAPI OpenServiceADetour(SC_HANDLE manager, LPCSTR name, DWORD access) {
    const ServiceCallScope scope;
    const SC_HANDLE handle = services->openA(manager, name, access);
    if (scope.outer())
        RememberOpened(handle, name);
    return handle;
}

SC_HANDLE WINAPI CreateServiceWDetour(SC_HANDLE manager, LPCWSTR name, LPCWSTR display, DWORD access,
                                      DWORD type, DWORD start, DWORD errorControl, LPCWSTR binary,
                                      LPCWSTR group, LPDWORD tag, LPCWSTR dependencies, LPCWSTR user,
                                      LPCWSTR password) {
    ServiceChange change(CallerName(name));
    const SC_HANDLE handle = services->createW(manager, name, display, access, type, start, errorControl,
                                               binary, group, tag, dependencies, user, password);
    change.Changed(handle != nullptr);
    RememberOpened(handle, name);
    return handle;
}

SC_HANDLE WINAPI CreateServiceADetour(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access,
                                      DWORD type, DWORD start, DWORD errorControl, LPCSTR binary,
                                      LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR user,
                                      LPCSTR password) {
    ServiceChange change(CallerName(name));
    const SC_HANDLE handle = services->createA(manager, name, display, access, type, start, errorControl,
                                               binary, group, tag, dependencies, user, password);
    change.Changed(handle != nullptr);
    RememberOpened(handle, name);
    return handle;
}

BOOL WINAPI ChangeConfigWDetour(SC_HANDLE service, DWORD type, DWORD start, DWORD errorControl,
                                LPCWSTR binary, LPCWSTR group, LPDWORD tag, LPCWSTR dependencies,
                                LPCWSTR user, LPCWSTR password, LPCWSTR display) {
    ServiceChange change(service);
    const BOOL changed = services->changeW(service, type, start, errorControl, binary, group, tag,
                                           dependencies, user, password, display);
    change.Changed(changed != FALSE);
    return changed;
}

BOOL WINAPI ChangeConfigADetour(SC_HANDLE service, DWORD type, DWORD start, DWORD errorControl, LPCSTR binary,
                                LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR user, LPCSTR password,
                                LPCSTR display) {
    ServiceChange change(service);
    const BOOL changed = services->changeA(service, type, start, errorControl, binary, group, tag,
                                           dependencies, user, password, display);
    change.Changed(changed != FALSE);
    return changed;
}

BOOL WINAPI ChangeConfig2WDetour(SC_HANDLE service, DWORD level, LPVOID information) {
    ServiceChange change(service);
    const BOOL changed = services->change2W(service, level, information);
    change.Changed(changed != FALSE);
    return changed;
}

BOOL WINAPI ChangeConfig2ADetour(SC_HANDLE service, DWORD level, LPVOID information) {
    ServiceChange change(service);
    const BOOL changed = services->change2A(service, level, information);
    change.Changed(changed != FALSE);
    return changed;
}

BOOL WINAPI DeleteServiceDetour(SC_HANDLE service) {
    ServiceChange change(service);
    change.KeepDeletedTree();
    const BOOL deleted = services->deleteService(service);
    change.Deleted(deleted != FALSE);
    return deleted;
}

template <typename Function>
Function* ExportOf(HMODULE module, const char* name) {
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Installs one hook; the first failure is said, and the others go on: each entry records what
// goes through it alone.
template <typename Function>
void Hook(InlineHook& hook, HMODULE module, const char* name, Function* detour, Function** original,
          bool required) {
    Function* target = ExportOf<Function>(module, name);
    if (target == nullptr) {
        // ChangeServiceConfig2 came with Windows 2000; a system without one of these asks nothing.
        if (required)
            SayOnce(services->incompleteSaid,
                    L"the service manager's entry " +
                        std::wstring(name, name + std::char_traits<char>::length(name)) +
                        L" cannot be found: the services it asks for are not recorded");
        return;
    }
    const HookResult result = hook.Install(target, detour, original);
    if (result == HookResult::Installed)
        return;
    const char* reason = DescribeHookResult(result);
    SayOnce(services->incompleteSaid,
            L"the services it asks the service manager for cannot all be recorded: " +
                std::wstring(name, name + std::char_traits<char>::length(name)) + L": " +
                std::wstring(reason, reason + std::char_traits<char>::length(reason)));
}

// Once advapi32 is loaded: the service manager's entries, hooked once for the rest of the process.
void HookServiceCalls() {
    const HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
    if (advapi == nullptr || ::InterlockedCompareExchange(&services->hooking, 1, 0) != 0)
        return;
    InlineHook* hook = services->hooks;
    Hook(*hook++, advapi, "OpenServiceW", &OpenServiceWDetour, &services->openW, true);
    Hook(*hook++, advapi, "OpenServiceA", &OpenServiceADetour, &services->openA, true);
    Hook(*hook++, advapi, "CreateServiceW", &CreateServiceWDetour, &services->createW, true);
    Hook(*hook++, advapi, "CreateServiceA", &CreateServiceADetour, &services->createA, true);
    Hook(*hook++, advapi, "ChangeServiceConfigW", &ChangeConfigWDetour, &services->changeW, true);
    Hook(*hook++, advapi, "ChangeServiceConfigA", &ChangeConfigADetour, &services->changeA, true);
    Hook(*hook++, advapi, "ChangeServiceConfig2W", &ChangeConfig2WDetour, &services->change2W, false);
    Hook(*hook++, advapi, "ChangeServiceConfig2A", &ChangeConfig2ADetour, &services->change2A, false);
    Hook(*hook++, advapi, "DeleteService", &DeleteServiceDetour, &services->deleteService, true);
}

NTSTATUS NTAPI LoadDllDetour(PWSTR path, PULONG flags, PUNICODE_STRING name, PVOID* handle) {
    const NTSTATUS status = services->loadDll(path, flags, name, handle);
    if (status >= 0 && services->hooking == 0)
        AsCaptureWork([] { HookServiceCalls(); });
    return status;
}

} // namespace

void StartServiceCapture(const ServiceCaptureHost& host) noexcept {
    if (services != nullptr || host.nt == nullptr || host.registryOld == nullptr || host.say == nullptr)
        return;
    try {
        services = new (std::nothrow) ServiceCaptureState;
        if (services == nullptr)
            return;
        services->host = host;
        ::InitializeCriticalSection(&services->handlesLock);
        services->callSlot = ::TlsAlloc();
        if (services->callSlot == TLS_OUT_OF_INDEXES) {
            host.say(L"the services it asks the service manager for cannot be recorded: no thread slot");
            return;
        }
        HookServiceCalls();
        if (services->hooking != 0)
            return;
        // Not loaded yet: every library the process loads later is loaded through LdrLoadDll.
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        services->loadDll = ntdll != nullptr ? ExportOf<LdrLoadDllFunction>(ntdll, "LdrLoadDll") : nullptr;
        InlineHook& watch = services->hooks[9];
        const HookResult result = services->loadDll != nullptr
                                      ? watch.Install(services->loadDll, &LoadDllDetour, &services->loadDll)
                                      : HookResult::NullTarget;
        if (result != HookResult::Installed) {
            const char* reason = DescribeHookResult(result);
            host.say(L"the services it asks the service manager for cannot be recorded: the libraries it "
                     L"loads cannot be watched: " +
                     std::wstring(reason, reason + std::char_traits<char>::length(reason)));
        }
    } catch (...) {
    }
}

} // namespace capture
