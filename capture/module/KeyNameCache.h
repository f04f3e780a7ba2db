// The kernel names of the keys a program writes through, by handle. Asking the system for a key's
// name is a round trip (tens of microseconds under Wine) that every captured write would pay, while
// a setup writes hundreds of values through one handle.
//
// A handle value comes back, for another object, once it is closed: the capture tells the cache of
// every close in this process (NtClose, and NtDuplicateObject closing its source), and of every
// rename, which changes the names of the renamed key's open handles and of all below it. A name
// asked for while some handle was closed is not kept, as it may be the name of what the handle was.
// The cache is only used once the calls that tell it are hooked; until then every lookup asks.
//
// Threading: any thread. Forget never blocks: it runs inside the program's own NtClose, perhaps on
// a thread that holds a lock the capture is waiting for, or while the capture holds the other
// threads suspended; where it cannot take the table at once it has the whole table dropped by the
// next lookup instead. It allocates and frees nothing, and no memory is allocated or freed with the
// table held. Closes and renames made by other processes (DuplicateHandle closing a handle of this
// one) are not seen.
#pragma once

#include "capture/module/NtCalls.h"

#include <cstdint>
#include <memory>
#include <string>

namespace capture {

class KeyNameCache {
public:
    KeyNameCache();
    ~KeyNameCache();
    KeyNameCache(const KeyNameCache&) = delete;
    KeyNameCache& operator=(const KeyNameCache&) = delete;

    // Called once the closes and renames of the process reach Forget and ForgetAll.
    void Enable() { ::InterlockedExchange(&enabled_, 1); }

    // The key's kernel name (QueryKeyName), from the table when it holds the handle.
    std::wstring NameOf(NtQueryKeyFunction* queryKey, HANDLE key);

    // After `handle` was closed, or its key deleted (its name is then the system's to refuse).
    void Forget(HANDLE handle) noexcept;
    // After a rename: any handle's name may have changed.
    void ForgetAll() noexcept;

private:
    static constexpr size_t kSlots = 64;
    using Name = std::shared_ptr<const std::wstring>;
    struct Slot {
        HANDLE handle = nullptr;
        Name name;
    };

    Slot& SlotOf(HANDLE handle) { return slots_[(reinterpret_cast<uintptr_t>(handle) >> 2) % kSlots]; }
    // With the table held: empties it if a close could not reach it, handing the names to `dropped`.
    void DropIfAsked(Name (&dropped)[kSlots]);

    CRITICAL_SECTION lock_;
    Slot slots_[kSlots];
    volatile LONG enabled_ = 0;
    volatile LONG closes_ = 0;    // closes and renames seen so far
    volatile LONG dropAsked_ = 0; // a close or rename found the table held
};

} // namespace capture
