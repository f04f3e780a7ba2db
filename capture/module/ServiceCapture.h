// What a captured process asks the service manager to do. The manager writes a service's key
// (HKLM\System\CurrentControlSet\Services\<name>) from its own process, outside the setup's tree,
// where no registry hook of ours runs: so the capture hooks the calls that ask for it
// (CreateService, ChangeServiceConfig, ChangeServiceConfig2, DeleteService, in their A and W forms,
// and OpenService to know which service a handle stands for), reads the service's key before and
// after each call that succeeds, and logs what differs as this process's own write, with the old
// state kept as for any other write. sc.exe, an INF's AddService, an MSI's ServiceInstall and a
// setup's own calls all end in these entries.
//
// The entries are in advapi32 (forwarded to sechost on newer systems), which a process may load
// long after the capture starts: until it is loaded, ntdll's LdrLoadDll is watched for it.
#pragma once

#include "capture/module/NtCalls.h"
#include "capture/module/RegistryOldState.h"

#include <string>

namespace capture {

struct ServiceCaptureHost {
    const NtCalls* nt = nullptr;
    RegistryOldState* registryOld = nullptr; // keeps old state when Usable()
    DWORD guardSlot = TLS_OUT_OF_INDEXES;    // the capture's ReentryGuard slot
    // Logs a value written and a key deleted, as the registry detours log theirs; null where this
    // process logs no lines (the driver's callback logs the service manager itself).
    void (*logValue)(const std::wstring& keyName, const std::wstring& valueName, ULONG type,
                     ULONG size) = nullptr;
    void (*logDeletedKey)(const std::wstring& keyName) = nullptr;
    // Says what cannot be recorded, on the tracker's channel.
    void (*say)(const std::wstring& reason) = nullptr;
};

// Called once, after the registry hooks are in place. Never throws.
void StartServiceCapture(const ServiceCaptureHost& host) noexcept;

} // namespace capture
