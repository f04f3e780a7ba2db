#include "common/Wow64.h"

#include "common/LaterWindows.h"

#include <vector>

namespace {

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using DisableRedirectionFunction = BOOL(WINAPI*)(PVOID*);
using RevertRedirectionFunction = BOOL(WINAPI*)(PVOID);

// The native folder, from the environment every process of 64-bit Windows is given, or else from
// the registry's 64-bit view, where the system keeps it.
std::string ProgramW6432FromEnvironment() {
    const DWORD needed = ::GetEnvironmentVariableA("ProgramW6432", nullptr, 0);
    if (needed <= 1)
        return std::string();
    std::string value(needed, '\0');
    const DWORD length = ::GetEnvironmentVariableA("ProgramW6432", value.data(), needed);
    if (length == 0 || length >= needed)
        return std::string();
    value.resize(length);
    return value;
}

std::string ProgramW6432FromRegistry() {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                        KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return std::string();
    std::vector<char> value(MAX_PATH + 1, '\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(value.size() - 1);
    const LONG read = ::RegQueryValueExA(key, "ProgramW6432Dir", nullptr, &type,
                                         reinterpret_cast<BYTE*>(value.data()), &size);
    ::RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ)
        return std::string();
    return std::string(value.data());
}

} // namespace

bool RunsUnderWow64() noexcept {
    static const bool wow64 = [] {
        const auto isWow64Process = Kernel32Function<IsWow64ProcessFunction>("IsWow64Process");
        BOOL answer = FALSE;
        return isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &answer) && answer;
    }();
    return wow64;
}

std::string NativeProgramFilesFolder() {
    if (!RunsUnderWow64())
        return std::string();
    std::string folder = ProgramW6432FromEnvironment();
    if (folder.empty())
        folder = ProgramW6432FromRegistry();
    return folder;
}

Wow64RedirectionOff::Wow64RedirectionOff() noexcept {
    if (!RunsUnderWow64())
        return;
    const DWORD savedError = ::GetLastError();
    static const auto disable =
        Kernel32Function<DisableRedirectionFunction>("Wow64DisableWow64FsRedirection");
    active_ = disable != nullptr && disable(&previous_);
    ::SetLastError(savedError);
}

Wow64RedirectionOff::~Wow64RedirectionOff() {
    if (!active_)
        return;
    const DWORD savedError = ::GetLastError();
    static const auto revert = Kernel32Function<RevertRedirectionFunction>("Wow64RevertWow64FsRedirection");
    if (revert != nullptr)
        revert(previous_);
    ::SetLastError(savedError);
}
