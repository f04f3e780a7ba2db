// Reading and writing another process's memory, and owning what is allocated or re-protected there:
// an injection that fails half-way must leave the process as it found it.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstddef>
#include <cstdint>

namespace capture {

// All of `size` bytes or nothing: a partial read is a failure.
bool ReadRemote(HANDLE process, uintptr_t address, void* buffer, size_t size) noexcept;
bool WriteRemote(HANDLE process, uintptr_t address, const void* data, size_t size) noexcept;

template <typename T>
bool ReadRemote(HANDLE process, uintptr_t address, T& value) noexcept {
    return ReadRemote(process, address, &value, sizeof value);
}

struct RemoteMemory {
    HANDLE process;
    void* address;
};

struct RemoteMemoryTraits {
    using Value = RemoteMemory;
    static Value Empty() noexcept { return RemoteMemory{nullptr, nullptr}; }
    static bool IsValid(Value memory) noexcept { return memory.address != nullptr; }
    static void Close(Value memory) noexcept {
        ::VirtualFreeEx(memory.process, memory.address, 0, MEM_RELEASE);
    }
};

// Memory allocated in another process with VirtualAllocEx, released unless handed over with release().
using UniqueRemoteMemory = UniqueResource<RemoteMemoryTraits>;

// A range of another process's memory under a new protection while this object lives; the old one is
// put back at the end.
class RemoteProtection {
public:
    RemoteProtection(HANDLE process, uintptr_t address, size_t size, DWORD protection) noexcept;
    ~RemoteProtection();
    RemoteProtection(const RemoteProtection&) = delete;
    RemoteProtection& operator=(const RemoteProtection&) = delete;

    bool changed() const noexcept { return changed_; }

private:
    HANDLE process_;
    uintptr_t address_;
    size_t size_;
    DWORD old_ = 0;
    bool changed_ = false;
};

} // namespace capture
