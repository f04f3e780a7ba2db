// Inline hooks on function entries in the current process (i686 and x86_64).
//
// The entry's first whole instructions covering 5 bytes are copied to a trampoline, which runs them and
// jumps back behind them; the entry itself becomes a 5-byte `jmp rel32` to the detour (i686) or to a relay
// placed within reach of it that jumps on to the detour (x86_64). Calling the trampoline is calling the
// original function.
//
// Where the entry has Windows' hot-patch form (i686 only: `mov edi, edi` with five bytes of int3 or nop
// padding in front of it), the jump goes into the padding instead and the `mov edi, edi` becomes a short
// jump back to it; the trampoline is then the entry's third byte, and nothing is copied. On x86_64, where
// `mov edi, edi` would clear rdi's upper half, entries do not have the form and it is not looked for.
//
// Threading: Install and Remove may be called from any thread, also while other threads call the target;
// two threads must not install or remove on the same target at once. The bytes are replaced by one
// locked write when they lie within one aligned 8-byte word and hold one instruction, so that a caller
// runs either the old or the new bytes. Otherwise (bytes across two words, or several instructions
// replaced) every other thread is held for the moment of the write, and any paused between two of the
// replaced instructions is moved to the same instruction in the trampoline (OtherThreads.h); so any
// address serves. method() says which way a hook went in. Each installation outside the hot-patch form
// takes a 64-byte trampoline slot for good.
//
// Lifetime: trampolines and relays are never freed. A thread may still be inside a trampoline, or inside
// a detour about to call one, long after Remove returned; freeing it would crash that thread at some
// random later moment. The module holding the detour must likewise stay loaded for the rest of the
// process.
//
// Guest rules for detours: run on the caller's thread, return what the original returned, leave the
// last error as the original left it (LastErrorKeeper.h), never throw, never wait on a lock that a thread
// calling the target could hold.
#pragma once

#include <cstdint>
#include <type_traits>

namespace capture {

enum class HookResult {
    Installed,
    NullTarget,
    NullDetour,
    OwnerInUse,             // this owner already holds a hook
    TargetUnreadable,       // the entry is not in committed, readable memory
    AlreadyHooked,          // the entry begins with a jump: someone else's hook, or a thunk
    PrologueNotRelocatable, // its first instructions cannot be moved unchanged (InstructionLength.h)
    NoMemoryNearTarget,     // no executable memory for the trampoline within reach of the entry
    ProtectionUnchangeable, // the entry's page cannot be made writable
    ThreadsNotHeld,         // another thread could not be suspended or its position read (OtherThreads.h)
    EntryChanged,           // another writer changed the entry while it was being patched
};

enum class UnhookResult {
    Removed,
    NotInstalled,
    EntryChanged,           // the entry no longer holds this hook's jump: left as it is
    ProtectionUnchangeable, // the entry's page cannot be made writable: the hook stays
    ThreadsNotHeld,         // the other threads could not be held for the write: the hook stays
};

// How a hook's jump went in.
enum class HookMethod {
    None,
    OneLockedWrite,     // five bytes within one word, one instruction: swapped with every thread running
    OthersHeld,         // five bytes across two words or over several instructions: other threads held
    HotPatch,           // jump in the padding, then the two-byte `mov edi, edi` swapped by one locked write
    HotPatchOthersHeld, // the same, the two bytes across two words: other threads held for them
};

const char* DescribeHookResult(HookResult result);
const char* DescribeUnhookResult(UnhookResult result);
const char* DescribeHookMethod(HookMethod method);

// Owns one hook; removes it when destroyed (only if the entry still holds its jump). Move-only.
class InlineHook {
public:
    InlineHook() noexcept = default;
    ~InlineHook();
    InlineHook(InlineHook&& other) noexcept;
    InlineHook& operator=(InlineHook&& other) noexcept;
    InlineHook(const InlineHook&) = delete;
    InlineHook& operator=(const InlineHook&) = delete;

    // Hooks `target` so that its callers reach `detour`. The trampoline is stored into *original before
    // the entry is patched, so that a detour entered at once already finds it; *original is left as it
    // was when the result is not Installed. Keeps the thread's last error.
    template <typename Function>
    HookResult Install(Function* target, Function* detour, Function** original) noexcept {
        static_assert(std::is_function<Function>::value, "hooks go on functions");
        static_assert(sizeof(Function*) == sizeof(void*), "a code address is a data pointer's size");
        return InstallAt(reinterpret_cast<void*>(target), reinterpret_cast<const void*>(detour), original);
    }

    // The same on raw addresses; `originalSlot` is the pointer-sized variable the trampoline is stored in.
    HookResult InstallAt(void* target, const void* detour, void* originalSlot) noexcept;

    // Puts the entry's first bytes back if they still hold this hook's jump. Keeps the last error.
    UnhookResult Remove() noexcept;

    bool installed() const noexcept { return target_ != nullptr; }
    HookMethod method() const noexcept { return method_; }
    void* target() const noexcept { return target_; }
    // Still callable after Remove: it runs the original function.
    void* trampoline() const noexcept { return trampoline_; }

private:
    static constexpr int kJumpSize = 5;

    HookResult InstallHotPatch(uint8_t* target, const void* detour, void* originalSlot) noexcept;
    UnhookResult RemoveJump() noexcept;
    UnhookResult RemoveHotPatch() noexcept;
    void TakeFrom(InlineHook& other) noexcept;
    void Forget() noexcept;

    uint8_t* target_ = nullptr;
    uint8_t* trampoline_ = nullptr;
    HookMethod method_ = HookMethod::None;
    uint8_t* jumpAt_ = nullptr; // the entry, or the padding in front of a hot-patched entry
    uint8_t replacedBytes_[kJumpSize] = {};
    uint8_t jumpBytes_[kJumpSize] = {};
};

} // namespace capture
