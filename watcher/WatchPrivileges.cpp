#include "watcher/WatchPrivileges.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

namespace {

// Each privilege by itself, every failure ignored: a process without the right simply watches
// what it can open.
void EnablePrivilege(const char* name) {
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &rawToken))
        return;
    UniqueHandle token(rawToken);
    TOKEN_PRIVILEGES privileges{};
    if (!::LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid))
        return;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr);
}

bool EnableAllWatchPrivileges() {
    const DWORD savedError = ::GetLastError();
    for (const char* name : {"SeBackupPrivilege", "SeRestorePrivilege", "SeChangeNotifyPrivilege"})
        EnablePrivilege(name);
    ::SetLastError(savedError);
    return true;
}

} // namespace

void EnableWatchPrivileges() {
    static const bool enabled = EnableAllWatchPrivileges();
    (void)enabled;
}
