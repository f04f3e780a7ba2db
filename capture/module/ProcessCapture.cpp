#include "capture/module/ProcessCapture.h"

#include "capture/InlineHook.h"
#include "capture/LastErrorKeeper.h"
#include "capture/inject/CaptureInjection.h"
#include "capture/module/CaptureChannel.h"
#include "capture/module/FileCapture.h"
#include "capture/module/KeyName.h"
#include "capture/module/KeyNameCache.h"
#include "capture/module/MonitorLog.h"
#include "capture/module/NtCalls.h"
#include "capture/module/OldStateLog.h"
#include "capture/module/ReentryGuard.h"
#include "capture/module/RegistryOldState.h"
#include "capture/module/ServiceCapture.h"
#include "common/LaterWindows.h"
#include "common/LogExclusions.h"
#include "common/UniqueHandle.h"
#include "driver/CaptureLine.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace capture {

namespace {

// Where every way of starting a process ends before Vista, which has no NtCreateUserProcess.
typedef BOOL(WINAPI CreateProcessInternalFunction)(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                                                   LPSECURITY_ATTRIBUTES processAttributes,
                                                   LPSECURITY_ATTRIBUTES threadAttributes,
                                                   BOOL inheritHandles, DWORD flags, LPVOID environment,
                                                   LPCWSTR directory, LPSTARTUPINFOW startup,
                                                   LPPROCESS_INFORMATION information, PHANDLE newToken);

// Everything the detours use. One instance, never freed (see the header).
struct CaptureState {
    NtCalls nt;
    NtSetValueKeyFunction* originalSetValueKey = nullptr;
    NtDeleteKeyFunction* originalDeleteKey = nullptr;
    NtCreateUserProcessFunction* originalCreateUserProcess = nullptr;
    CreateProcessInternalFunction* originalCreateProcessInternal = nullptr; // before Vista
    InlineHook setValueHook;
    InlineHook deleteKeyHook;
    InlineHook createProcessHook;
    InlineHook createProcessInternalHook;
    // Hooked only to keep old state: deleted values, created keys.
    NtDeleteValueKeyFunction* originalDeleteValueKey = nullptr;
    NtCreateKeyFunction* originalCreateKey = nullptr;
    InlineHook deleteValueHook;
    InlineHook createKeyHook;
    // Hooked only to keep key names by handle: each write would otherwise ask for its key's name.
    KeyNameCache keyNames;
    NtCloseFunction* originalClose = nullptr;
    NtDuplicateObjectFunction* originalDuplicateObject = nullptr;
    NtRenameKeyFunction* originalRenameKey = nullptr;
    InlineHook closeHook;
    InlineHook duplicateObjectHook;
    InlineHook renameKeyHook;
    DWORD guardSlot = TLS_OUT_OF_INDEXES;
    DWORD processId = 0;
    std::wstring image;   // this process's image path
    std::wstring logName; // the log lines' process field (see EventOf)
    std::wstring folder;  // the capture's own folder: the other capture files are there
    std::wstring userSid; // whose hive is HKCU in the log
    CaptureChannel channel;
    MonitorLog log;
    OldStateLog oldState; // what the setup's changes replace, for the tracker's undo
    // False where the driver's callback logs every process: the hooks then keep the old state alone.
    bool logLines = true;
    RegistryOldState registryOld;
    // Set once the log failed for a reason that would fail every line: said once, not per line.
    volatile LONG logFailureSaid = 0;
    volatile LONG lineLostSaid = 0;
};

CaptureState* state = nullptr;

constexpr const wchar_t* kUserSidVariable = L"ORVANE_CAPTURE_USER";
constexpr DWORD kLongestSidText = 192;

std::wstring ModulePath(HMODULE module) {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size())
            return std::wstring(path.data(), length);
        path.resize(path.size() * 2);
    }
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring UserSidText(const NtCalls& nt) {
    if (nt.openProcessToken == nullptr || nt.queryInformationToken == nullptr ||
        nt.convertSidToText == nullptr)
        return std::wstring();
    HANDLE token = nullptr;
    if (nt.openProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) < 0)
        return std::wstring();
    const UniqueHandle tokenOwner(token);
    alignas(8) unsigned char user[256];
    ULONG returned = 0;
    constexpr int kTokenUser = 1;
    if (nt.queryInformationToken(token, kTokenUser, user, sizeof user, &returned) < 0)
        return std::wstring();
    wchar_t text[128];
    UNICODE_STRING converted{0, sizeof text, text};
    if (nt.convertSidToText(&converted, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, FALSE) < 0)
        return std::wstring();
    return std::wstring(text, converted.Length / sizeof(wchar_t));
}

// Whose hive the log calls HKCU: the tracking user's, as the tracker names it, so that a process
// of the tree running as another user logs its own hive under HKEY_USERS. Without the tracker's
// word, this process's own user.
std::wstring TrackingUserSid(const NtCalls& nt) {
    wchar_t sid[kLongestSidText];
    const DWORD length = ::GetEnvironmentVariableW(kUserSidVariable, sid, kLongestSidText);
    if (length > 4 && length < kLongestSidText && sid[0] == L'S' && sid[1] == L'-')
        return std::wstring(sid, length);
    return UserSidText(nt);
}

CaptureText TextOf(const std::wstring& text) {
    return CaptureText{reinterpret_cast<const uint16_t*>(text.data()), static_cast<uint32_t>(text.size())};
}

CaptureText TextOf(const UNICODE_STRING* text) {
    if (text == nullptr || text->Buffer == nullptr)
        return CaptureText{nullptr, 0};
    return CaptureText{reinterpret_cast<const uint16_t*>(text->Buffer),
                       static_cast<uint32_t>(text->Length / sizeof(wchar_t))};
}

// The value's path as the report would name it, for a message about a value that could not be
// logged: the mapped key when it maps, else the kernel name.
std::wstring ValuePathForMessage(const std::wstring& keyName, const UNICODE_STRING* valueName) {
    std::vector<uint16_t> mapped(keyName.size() + 64);
    uint32_t length = 0;
    std::wstring path = keyName;
    if (CaptureMapKeyName(TextOf(keyName), TextOf(state->userSid), mapped.data(),
                          static_cast<uint32_t>(mapped.size()), &length) == CAPTURE_OK)
        path.assign(reinterpret_cast<const wchar_t*>(mapped.data()), length);
    const CaptureText name = TextOf(valueName);
    return path + L"\\" + std::wstring(reinterpret_cast<const wchar_t*>(name.units), name.length);
}

void SayLogFailure(AppendResult result) {
    if (::InterlockedExchange(&state->logFailureSaid, 1) != 0)
        return;
    const std::wstring reason = result == AppendResult::NoDevice
                                    ? L"the registry monitor's device cannot be opened (error " +
                                          std::to_wstring(state->log.openError()) + L")"
                                    : L"the registry monitor refused its lines";
    state->channel.Send(kIncompleteKind, state->processId, state->image, reason);
}

void LogEvent(const CaptureEvent& event, const std::wstring& keyName, const UNICODE_STRING* valueName) {
    // Left uninitialised: the builder writes what it answers, and this runs on every write.
    const std::unique_ptr<uint16_t[]> line(new uint16_t[CAPTURE_LINE_MAX_UNITS]);
    uint32_t length = 0;
    const CaptureResult built =
        CaptureBuildLine(&event, TextOf(state->userSid), line.get(), CAPTURE_LINE_MAX_UNITS, &length);
    if (built == CAPTURE_UNMAPPED)
        return; // an application hive or a volume's own: no root in the log, no value of the machine
    AppendResult appended = AppendResult::TooLong;
    if (built == CAPTURE_OK)
        appended = state->log.Append(reinterpret_cast<const wchar_t*>(line.get()), length);
    if (appended == AppendResult::Appended)
        return;
    if (appended == AppendResult::NoDevice || appended == AppendResult::Refused) {
        SayLogFailure(appended);
        return;
    }
    // Only a value is worth naming: a deletion that cannot be logged lies under a name that no
    // logged value can have either.
    if (event.operation == CAPTURE_SET_VALUE)
        state->channel.Send(kUnrecordedKind, state->processId, state->image,
                            ValuePathForMessage(keyName, valueName));
}

// Said once: a line this process could not build, for want of memory.
void SayLineLost() {
    if (::InterlockedExchange(&state->lineLostSaid, 1) != 0)
        return;
    try {
        state->channel.Send(kIncompleteKind, state->processId, state->image,
                            L"a registry write could not be logged: out of memory");
    } catch (...) {
    }
}

// Runs the capture's own work around a hooked call: the program's last error kept, no capture of
// the capture's own calls, and a failure of its own said on the channel, never thrown at the program.
template <typename Work>
void AsCaptureWork(Work work) {
    const LastErrorKeeper keepLastError;
    const ReentryGuard guard(state->guardSlot);
    if (!guard.entered())
        return;
    try {
        work();
    } catch (...) {
        SayLineLost();
    }
}

CaptureEvent EventOf(int operation, const std::wstring& keyName, NTSTATUS status) {
    CaptureEvent event{};
    // The process field is the image's file name, a colon and the process id ("rundll32.exe:1234"):
    // the library leaves out lines whose process field is exactly one of a few system programs'
    // names (rundll32.exe, svchost.exe...), the noise of a log of the whole system, while every line
    // of this capture comes from the setup's own tree, whatever its programs are called. No file
    // name holds a colon, so the last one splits the two. The driver's callback names the image alone.
    event.processImage = TextOf(state->logName);
    event.operation = operation;
    event.keyName = TextOf(keyName);
    event.status = static_cast<uint32_t>(status);
    return event;
}

// The old state of a value about to be written or deleted. `keyName` receives the key's name when
// it was asked for, so that the log line after the call need not ask again.
void KeepOldValue(HANDLE key, const UNICODE_STRING* valueName, std::wstring& keyName) {
    if (!state->registryOld.Usable())
        return;
    AsCaptureWork([&] {
        keyName = state->keyNames.NameOf(state->nt.queryKey, key);
        state->registryOld.KeepValue(key, keyName, valueName);
    });
}

NTSTATUS NTAPI SetValueKeyDetour(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                                 PVOID data, ULONG dataSize) {
    std::wstring keyName;
    KeepOldValue(key, valueName, keyName);
    const NTSTATUS status = state->originalSetValueKey(key, valueName, titleIndex, type, data, dataSize);
    if (status < 0 || !state->logLines)
        return status;
    AsCaptureWork([&] {
        if (keyName.empty())
            keyName = state->keyNames.NameOf(state->nt.queryKey, key);
        if (keyName.empty())
            return;
        CaptureEvent event = EventOf(CAPTURE_SET_VALUE, keyName, status);
        event.valueName = TextOf(valueName);
        event.valueType = type;
        event.dataLength = dataSize;
        LogEvent(event, keyName, valueName);
    });
    return status;
}

NTSTATUS NTAPI DeleteKeyDetour(HANDLE key) {
    // Named now: once deleted, the key has no name to ask for.
    std::wstring keyName;
    AsCaptureWork([&] {
        keyName = state->keyNames.NameOf(state->nt.queryKey, key);
        state->registryOld.KeepDeletedTree(key, keyName);
    });
    const NTSTATUS status = state->originalDeleteKey(key);
    // A deleted key's handle has no name the system gives: what is written through it is refused.
    if (status >= 0)
        state->keyNames.Forget(key);
    if (status < 0 || keyName.empty() || !state->logLines)
        return status;
    AsCaptureWork([&] { LogEvent(EventOf(CAPTURE_DELETE_KEY, keyName, status), keyName, nullptr); });
    return status;
}

// No log line: the tracker reads deleted values from the store.
NTSTATUS NTAPI DeleteValueKeyDetour(HANDLE key, PUNICODE_STRING valueName) {
    std::wstring keyName;
    KeepOldValue(key, valueName, keyName);
    return state->originalDeleteValueKey(key, valueName);
}

NTSTATUS NTAPI CreateKeyDetour(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                               ULONG titleIndex, PUNICODE_STRING keyClass, ULONG options,
                               PULONG disposition) {
    RegistryOldState::CreationProbe probe;
    AsCaptureWork([&] { probe = state->registryOld.ProbeCreation(access, attributes); });
    // The capture needs the answer even from a caller that does not ask for it.
    ULONG ownDisposition = 0;
    const NTSTATUS status = state->originalCreateKey(key, access, attributes, titleIndex, keyClass, options,
                                                     disposition != nullptr ? disposition : &ownDisposition);
    if (status < 0 || !probe.taken)
        return status;
    AsCaptureWork([&] {
        if ((disposition != nullptr ? *disposition : ownDisposition) == REG_CREATED_NEW_KEY)
            state->registryOld.KeepCreation(probe, *key);
    });
    return status;
}

// Neither touches the last error: the table is let go of without a call that sets it.
NTSTATUS NTAPI CloseDetour(HANDLE handle) {
    const NTSTATUS status = state->originalClose(handle);
    state->keyNames.Forget(handle);
    return status;
}

NTSTATUS NTAPI DuplicateObjectDetour(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                     PHANDLE target, ACCESS_MASK access, ULONG attributes, ULONG options) {
    const NTSTATUS status = state->originalDuplicateObject(sourceProcess, source, targetProcess, target,
                                                           access, attributes, options);
    // The source may be another process's handle of the same value: forgetting ours costs a lookup.
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0)
        state->keyNames.Forget(source);
    return status;
}

NTSTATUS NTAPI RenameKeyDetour(HANDLE key, PUNICODE_STRING newName) {
    const NTSTATUS status = state->originalRenameKey(key, newName);
    if (status >= 0)
        state->keyNames.ForgetAll();
    return status;
}

// The texts of this module's own results are ASCII.
std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    return wide;
}

// QueryFullProcessImageNameW came with Vista; before it the new process's own parameters tell.
std::wstring ImageOfNewProcess(HANDLE process, const void* parameters) {
    using QueryImageNameFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    static const auto queryImageName = Kernel32Function<QueryImageNameFunction>("QueryFullProcessImageNameW");
    wchar_t path[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    if (queryImageName != nullptr && queryImageName(process, 0, path, &length))
        return std::wstring(path, length);
    const auto* given = static_cast<const RTL_USER_PROCESS_PARAMETERS*>(parameters);
    if (given != nullptr && given->ImagePathName.Buffer != nullptr)
        return std::wstring(given->ImagePathName.Buffer, given->ImagePathName.Length / sizeof(wchar_t));
    return std::wstring();
}

void CaptureNewProcess(HANDLE process, const void* parameters) {
    try {
        const CaptureAttempt attempt = CaptureSuspendedProcess(process, state->folder);
        if (attempt.outcome != CaptureOutcome::Captured)
            state->channel.Send(kIncompleteKind, ::GetProcessId(process),
                                ImageOfNewProcess(process, parameters),
                                L"started by " + FileNameOf(state->image) + L": " +
                                    Widen(DescribeCaptureAttempt(attempt).c_str()));
    } catch (...) {
    }
}

NTSTATUS NTAPI CreateUserProcessDetour(PHANDLE process, PHANDLE thread, ACCESS_MASK processAccess,
                                       ACCESS_MASK threadAccess, PVOID processAttributes,
                                       PVOID threadAttributes, ULONG processFlags, ULONG threadFlags,
                                       PVOID parameters, PVOID createInfo, PVOID attributeList) {
    const ReentryGuard guard(state->guardSlot);
    if (!guard.entered())
        return state->originalCreateUserProcess(process, thread, processAccess, threadAccess,
                                                processAttributes, threadAttributes, processFlags,
                                                threadFlags, parameters, createInfo, attributeList);
    // The new process must not run a single instruction before the capture is in it.
    const bool suspendedHere = (threadFlags & kThreadCreateSuspended) == 0;
    const NTSTATUS status = state->originalCreateUserProcess(
        process, thread, processAccess, threadAccess, processAttributes, threadAttributes, processFlags,
        threadFlags | kThreadCreateSuspended, parameters, createInfo, attributeList);
    if (status < 0)
        return status;
    const LastErrorKeeper keepLastError;
    CaptureNewProcess(*process, parameters);
    if (suspendedHere)
        state->nt.resumeThread(*thread, nullptr);
    return status;
}

BOOL WINAPI CreateProcessInternalDetour(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                                        LPSECURITY_ATTRIBUTES processAttributes,
                                        LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                        DWORD flags, LPVOID environment, LPCWSTR directory,
                                        LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information,
                                        PHANDLE newToken) {
    const ReentryGuard guard(state->guardSlot);
    if (!guard.entered() || information == nullptr)
        return state->originalCreateProcessInternal(token, application, commandLine, processAttributes,
                                                    threadAttributes, inheritHandles, flags, environment,
                                                    directory, startup, information, newToken);
    // As for NtCreateUserProcess: the new process runs nothing before the capture is in it.
    const bool suspendedHere = (flags & CREATE_SUSPENDED) == 0;
    const BOOL created = state->originalCreateProcessInternal(
        token, application, commandLine, processAttributes, threadAttributes, inheritHandles,
        flags | CREATE_SUSPENDED, environment, directory, startup, information, newToken);
    if (!created)
        return created;
    const LastErrorKeeper keepLastError;
    CaptureNewProcess(information->hProcess, nullptr);
    if (suspendedHere)
        ::ResumeThread(information->hThread);
    return created;
}

void SayOldStateGap(const std::wstring& reason) {
    state->channel.Send(kOldStateKind, state->processId, state->image, reason);
}

void SayIncomplete(const std::wstring& reason) {
    state->channel.Send(kIncompleteKind, state->processId, state->image, reason);
}

bool HookRegistryCalls() {
    HookResult result =
        state->setValueHook.Install(state->nt.setValueKey, &SetValueKeyDetour, &state->originalSetValueKey);
    if (result == HookResult::Installed)
        result =
            state->deleteKeyHook.Install(state->nt.deleteKey, &DeleteKeyDetour, &state->originalDeleteKey);
    if (result == HookResult::Installed)
        return true;
    // Half a capture would report a key's values without its deletion: none at all.
    state->setValueHook.Remove();
    state->deleteKeyHook.Remove();
    SayIncomplete(L"its registry calls cannot be hooked: " + Widen(DescribeHookResult(result)));
    return false;
}

// Deleted values and created keys are hooked for their old state alone: without them the values
// are logged all the same.
void HookOldStateCalls() {
    if (!state->registryOld.Usable())
        return;
    const HookResult deleteValue = state->deleteValueHook.Install(
        state->nt.deleteValueKey, &DeleteValueKeyDetour, &state->originalDeleteValueKey);
    if (deleteValue != HookResult::Installed)
        SayOldStateGap(L"old state cannot be kept for the values it deletes: " +
                       Widen(DescribeHookResult(deleteValue)));
    const HookResult createKey =
        state->createKeyHook.Install(state->nt.createKey, &CreateKeyDetour, &state->originalCreateKey);
    if (createKey != HookResult::Installed)
        SayOldStateGap(L"old state cannot be kept for the keys it creates: " +
                       Widen(DescribeHookResult(createKey)));
}

// Key names are kept by handle only while every close and rename of the process is seen; a hook
// that cannot go in leaves each write asking for its key's name, as slower but as right.
void KeepKeyNames() {
    if (state->nt.close == nullptr || state->nt.duplicateObject == nullptr)
        return;
    HookResult result = state->closeHook.Install(state->nt.close, &CloseDetour, &state->originalClose);
    if (result == HookResult::Installed)
        result = state->duplicateObjectHook.Install(state->nt.duplicateObject, &DuplicateObjectDetour,
                                                    &state->originalDuplicateObject);
    if (result == HookResult::Installed && state->nt.renameKey != nullptr)
        result =
            state->renameKeyHook.Install(state->nt.renameKey, &RenameKeyDetour, &state->originalRenameKey);
    if (result == HookResult::Installed) {
        state->keyNames.Enable();
        return;
    }
    state->closeHook.Remove();
    state->duplicateObjectHook.Remove();
    state->renameKeyHook.Remove();
}

// What the service manager writes for this process, read back around the call that asked for it
// (ServiceCapture.h), logged as this process's own write.
void LogServiceValue(const std::wstring& keyName, const std::wstring& valueName, ULONG type, ULONG size) {
    UNICODE_STRING name{static_cast<USHORT>(valueName.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(valueName.size() * sizeof(wchar_t)),
                        const_cast<wchar_t*>(valueName.c_str())};
    CaptureEvent event = EventOf(CAPTURE_SET_VALUE, keyName, 0);
    event.valueName = TextOf(&name);
    event.valueType = type;
    event.dataLength = size;
    LogEvent(event, keyName, &name);
}

void LogServiceKeyDeleted(const std::wstring& keyName) {
    LogEvent(EventOf(CAPTURE_DELETE_KEY, keyName, 0), keyName, nullptr);
}

// Where the driver logs every process, the service manager's own writes are in its log: what a
// service call could not record is then only its old state.
void SayServiceGap(const std::wstring& reason) {
    if (state->logLines)
        SayIncomplete(reason);
    else
        SayOldStateGap(reason);
}

void CaptureServiceCalls() {
    if (!state->logLines && !state->registryOld.Usable())
        return;
    ServiceCaptureHost host;
    host.nt = &state->nt;
    host.registryOld = &state->registryOld;
    host.guardSlot = state->guardSlot;
    if (state->logLines) {
        host.logValue = &LogServiceValue;
        host.logDeletedKey = &LogServiceKeyDeleted;
    }
    host.say = &SayServiceGap;
    StartServiceCapture(host);
}

// Before Vista, kernel32's CreateProcessInternalW is where CreateProcess A and W, WinExec and the
// shell's launches all end.
void FollowNewProcessesBeforeVista() {
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    auto* const target = kernel32 == nullptr
                             ? nullptr
                             : reinterpret_cast<CreateProcessInternalFunction*>(reinterpret_cast<void*>(
                                   ::GetProcAddress(kernel32, "CreateProcessInternalW")));
    const HookResult result =
        target == nullptr ? HookResult::NullTarget
                          : state->createProcessInternalHook.Install(target, &CreateProcessInternalDetour,
                                                                     &state->originalCreateProcessInternal);
    if (result == HookResult::Installed)
        return;
    const std::wstring reason =
        L"the processes it starts cannot be followed: " + Widen(DescribeHookResult(result));
    // Where the driver logs every process, an unfollowed child costs only its old state, which the
    // report then gives as unknown, item by item.
    if (state->logLines)
        SayIncomplete(reason);
    else
        SayOldStateGap(reason);
}

void FollowNewProcesses() {
    if (state->nt.createUserProcess == nullptr || state->nt.resumeThread == nullptr) {
        FollowNewProcessesBeforeVista();
        return;
    }
    const HookResult result = state->createProcessHook.Install(
        state->nt.createUserProcess, &CreateUserProcessDetour, &state->originalCreateUserProcess);
    if (result != HookResult::Installed)
        SayIncomplete(L"the processes it starts cannot be followed: " + Widen(DescribeHookResult(result)));
}

// The driver's callback names a process by its image alone, and the library leaves out the lines
// of a few system programs' names: a process of the tree named so (the system's rundll32 running
// an INF install) would have its writes logged and then dropped. The driver names a process it was
// told is the tree's by image and id; one that cannot be told must not lose them without a word.
void SayIfLoggedUnderAnExcludedName() {
    const std::string name = ToUtf8(FileNameOf(state->image));
    for (std::string_view excluded : log_exclusions::kProcesses) {
        if (excluded.size() == name.size() && _strnicmp(excluded.data(), name.data(), name.size()) == 0) {
            SayIncomplete(L"the driver logs its registry writes under the name " + FileNameOf(state->image) +
                          L", which the library leaves out as a system program's: they are not reported");
            return;
        }
    }
}

} // namespace

void StartProcessCapture(void* captureModule) {
    if (state != nullptr)
        return;
    state = new (std::nothrow) CaptureState;
    if (state == nullptr)
        return;
    try {
        state->processId = ::GetCurrentProcessId();
        state->image = ModulePath(nullptr);
        state->logName = FileNameOf(state->image) + L":" + std::to_wstring(state->processId);
        state->folder = FolderOf(ModulePath(static_cast<HMODULE>(captureModule)));
        state->channel = CaptureChannel::FromEnvironment();
        state->log.AttachRing();
        state->oldState.AttachStore(state->processId);
        state->nt = FindNtCalls();
        state->guardSlot = ::TlsAlloc();
        if (!state->nt.HasRegistryCalls() || state->guardSlot == TLS_OUT_OF_INDEXES) {
            SayIncomplete(L"the capture cannot start in it");
            return;
        }
        // The kernel's own log covers this process and every one it starts: no line of ours is
        // needed, and without a store to keep old state in, nothing is hooked at all.
        if (state->log.DriverLogsEveryProcess()) {
            state->logLines = false;
            if (!state->log.MarkTreeProcess())
                SayIfLoggedUnderAnExcludedName();
            if (!state->oldState.Active())
                return;
        }
        state->userSid = TrackingUserSid(state->nt);
        if (state->oldState.Active()) {
            if (state->nt.HasOldStateCalls())
                state->registryOld.Attach(&state->nt, &state->oldState, &state->userSid, &SayOldStateGap);
            else
                SayOldStateGap(L"old state cannot be kept: this system lacks registry calls it needs");
        }
        if (!HookRegistryCalls())
            return;
        HookOldStateCalls();
        KeepKeyNames();
        CaptureServiceCalls();
        FollowNewProcesses();
        StartFileCapture(state->oldState, state->channel, state->guardSlot, state->processId, state->image);
    } catch (...) {
        SayIncomplete(L"the capture cannot start in it");
    }
}

} // namespace capture
