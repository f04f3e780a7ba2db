#include "capture/inject/RemoteMemory.h"

namespace capture {

bool ReadRemote(HANDLE process, uintptr_t address, void* buffer, size_t size) noexcept {
    SIZE_T done = 0;
    return ::ReadProcessMemory(process, reinterpret_cast<const void*>(address), buffer, size, &done) &&
           done == size;
}

bool WriteRemote(HANDLE process, uintptr_t address, const void* data, size_t size) noexcept {
    SIZE_T done = 0;
    return ::WriteProcessMemory(process, reinterpret_cast<void*>(address), data, size, &done) && done == size;
}

RemoteProtection::RemoteProtection(HANDLE process, uintptr_t address, size_t size, DWORD protection) noexcept
    : process_(process), address_(address), size_(size) {
    changed_ =
        ::VirtualProtectEx(process, reinterpret_cast<void*>(address), size, protection, &old_) != FALSE;
}

RemoteProtection::~RemoteProtection() {
    if (!changed_)
        return;
    const DWORD savedError = ::GetLastError();
    DWORD replaced = 0;
    ::VirtualProtectEx(process_, reinterpret_cast<void*>(address_), size_, old_, &replaced);
    ::SetLastError(savedError);
}

} // namespace capture
