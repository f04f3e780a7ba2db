#include "capture/InlineHook.h"

#include "capture/EntryPatch.h"
#include "capture/ExecutableArena.h"
#include "capture/InstructionLength.h"
#include "capture/LastErrorKeeper.h"
#include "capture/OtherThreads.h"
#include "common/Win32.h"

#include <cstring>
#include <utility>

namespace capture {
namespace {

static_assert(kEntryPatchSize == 5, "the entry holds a jmp rel32");

// Enough for the longest relocation: four bytes short of the jump, then one whole instruction.
constexpr size_t kPrologueWindow = 4 + kMaxInstructionLength;
constexpr uint8_t kJmpRel32 = 0xe9;

bool IsReadable(DWORD protection) {
    if ((protection & (PAGE_GUARD | PAGE_NOACCESS)) != 0)
        return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return (protection & readable) != 0;
}

// How many bytes from `at` on, up to the window, are committed and readable (across regions).
size_t ReadableBytes(const uint8_t* at) {
    size_t readable = 0;
    while (readable < kPrologueWindow) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(at + readable, &region, sizeof region) == 0 || region.State != MEM_COMMIT ||
            !IsReadable(region.Protect))
            break;
        const uint8_t* regionEnd = static_cast<const uint8_t*>(region.BaseAddress) + region.RegionSize;
        readable = size_t(regionEnd - at);
    }
    return readable < kPrologueWindow ? readable : kPrologueWindow;
}

// A jump as the first instruction: what an inline hook leaves (ours or another's), or a thunk.
bool StartsWithJump(const uint8_t* code, size_t available) {
    size_t at = 0;
    if (kNativeArchitecture == CodeArchitecture::X64 && available > 1 && (code[0] & 0xf0) == 0x40)
        at = 1; // REX
    if (at >= available)
        return false;
    const uint8_t op = code[at];
    if (op == kJmpRel32 || op == 0xeb)
        return true;
    const bool indirectJump = op == 0xff && at + 1 < available && ((code[at + 1] >> 3) & 7) == 4;
    return indirectJump;
}

void PutRel32Jump(uint8_t* out, const uint8_t* at, const uint8_t* to) {
    out[0] = kJmpRel32;
    const int32_t displacement = int32_t(reinterpret_cast<intptr_t>(to) - reinterpret_cast<intptr_t>(at + 5));
    std::memcpy(out + 1, &displacement, sizeof displacement);
}

#if defined(_WIN64)
constexpr size_t kAbsoluteJumpSize = 14;
constexpr size_t kTrampolineOffset = 16; // the relay comes first in the slot

// jmp [rip+0] followed by the destination itself.
void PutAbsoluteJump(uint8_t* out, const void* to) {
    const uint8_t jmpRipIndirect[6] = {0xff, 0x25, 0, 0, 0, 0};
    std::memcpy(out, jmpRipIndirect, sizeof jmpRipIndirect);
    const uint64_t destination = reinterpret_cast<uintptr_t>(to);
    std::memcpy(out + sizeof jmpRipIndirect, &destination, sizeof destination);
}
#endif

struct SlotLayout {
    uint8_t code[kCodeSlotSize] = {};
    size_t size = 0;
    uint8_t* trampoline = nullptr;
    const uint8_t* jumpDestination = nullptr; // where the entry's jmp rel32 goes
};

// x86_64: relay to the detour, then the trampoline ending in an absolute jump back.
// i686: the trampoline alone, ending in a jmp rel32 back; the entry jumps to the detour directly.
SlotLayout LayOutSlot(uint8_t* slot, const uint8_t* target, const void* detour, const uint8_t* prologue,
                      size_t relocated) {
    SlotLayout layout;
#if defined(_WIN64)
    PutAbsoluteJump(layout.code, detour);
    layout.trampoline = slot + kTrampolineOffset;
    std::memcpy(layout.code + kTrampolineOffset, prologue, relocated);
    PutAbsoluteJump(layout.code + kTrampolineOffset + relocated, target + relocated);
    layout.size = kTrampolineOffset + relocated + kAbsoluteJumpSize;
    layout.jumpDestination = slot;
#else
    layout.trampoline = slot;
    std::memcpy(layout.code, prologue, relocated);
    PutRel32Jump(layout.code + relocated, slot + relocated, target + relocated);
    layout.size = relocated + kEntryPatchSize;
    layout.jumpDestination = static_cast<const uint8_t*>(detour);
#endif
    return layout;
}

HookResult FromPatchResult(EntryPatchResult result) {
    switch (result) {
    case EntryPatchResult::Written:
        return HookResult::Installed;
    case EntryPatchResult::ProtectionUnchangeable:
        return HookResult::ProtectionUnchangeable;
    case EntryPatchResult::NotPatchable:
    case EntryPatchResult::EntryChanged:
        break;
    }
    return HookResult::EntryChanged;
}

// Code bytes to replace while other threads may run them, and where a thread standing inside them (after
// the first of them) goes: to the same offset from `movedTo`, where the same instructions stand. An empty
// range when the bytes hold one instruction, inside which no thread can stand.
struct CodeWrite {
    uint8_t* at;
    const uint8_t* expected;
    const uint8_t* replacement;
    size_t size;
    const uint8_t* insideBegin;
    const uint8_t* insideEnd;
    const uint8_t* movedTo;
};

struct WriteOutcome {
    EntryPatchResult patch = EntryPatchResult::NotPatchable;
    bool othersHeld = false;
    bool threadsNotHeld = false;
};

// One locked write where it suffices; every other thread held otherwise, and those standing between two of
// the replaced instructions moved first, since the new bytes would have them resume inside a jump.
WriteOutcome WriteCode(const CodeWrite& write) {
    const bool nobodyInside = write.insideBegin == write.insideEnd;
    const bool locked = OneLockedWriteCovers(write.at, write.size);
    if (nobodyInside && locked)
        return {ReplaceLocked(write.at, write.expected, write.replacement, write.size), false, false};
    OtherThreadsSuspended others;
    if (!others.complete() ||
        !others.MoveThreadsStandingIn(write.insideBegin, write.insideEnd, write.movedTo))
        return {EntryPatchResult::NotPatchable, true, true};
    const EntryPatchResult patch =
        locked ? ReplaceLocked(write.at, write.expected, write.replacement, write.size)
               : ReplacePlainly(write.at, write.expected, write.replacement, write.size);
    return {patch, true, false};
}

constexpr size_t kHotPatchPadding = 5;
constexpr uint8_t kMovEdiEdi[2] = {0x8b, 0xff};
constexpr uint8_t kShortJumpToPadding[2] = {0xeb, 0x100 - 2 - kHotPatchPadding}; // jmp -7

// Windows' hot-patch form: `mov edi, edi` at the entry and five bytes of int3 or nop padding before it,
// which no path reaches. Only a 32-bit entry has it (InlineHook.h).
bool HasHotPatchForm(const uint8_t* target, const uint8_t* prologue, size_t readable) {
    if (kNativeArchitecture != CodeArchitecture::X86 || readable < 2 ||
        std::memcmp(prologue, kMovEdiEdi, sizeof kMovEdiEdi) != 0 ||
        reinterpret_cast<uintptr_t>(target) < kHotPatchPadding)
        return false;
    const uint8_t* padding = target - kHotPatchPadding;
    if (ReadableBytes(padding) < kHotPatchPadding)
        return false;
    for (size_t i = 0; i < kHotPatchPadding; ++i) {
        if (padding[i] != padding[0])
            return false;
    }
    return padding[0] == 0xcc || padding[0] == 0x90;
}

} // namespace

InlineHook::~InlineHook() {
    Remove();
}

InlineHook::InlineHook(InlineHook&& other) noexcept {
    TakeFrom(other);
}

InlineHook& InlineHook::operator=(InlineHook&& other) noexcept {
    if (this != &other) {
        Remove();
        TakeFrom(other);
    }
    return *this;
}

HookResult InlineHook::InstallAt(void* targetAddress, const void* detour, void* originalSlot) noexcept {
    const LastErrorKeeper keepLastError;
    if (targetAddress == nullptr)
        return HookResult::NullTarget;
    if (detour == nullptr || originalSlot == nullptr)
        return HookResult::NullDetour;
    if (installed())
        return HookResult::OwnerInUse;
    auto* target = static_cast<uint8_t*>(targetAddress);
    const size_t readable = ReadableBytes(target);
    if (readable == 0)
        return HookResult::TargetUnreadable;
    uint8_t prologue[kPrologueWindow];
    std::memcpy(prologue, target, readable);
    if (StartsWithJump(prologue, readable))
        return HookResult::AlreadyHooked;
    if (HasHotPatchForm(target, prologue, readable))
        return InstallHotPatch(target, detour, originalSlot);
    const RelocationSpan span = RelocatableSpan(prologue, readable, kEntryPatchSize, kNativeArchitecture);
    if (span.verdict != DecodeVerdict::Relocatable)
        return HookResult::PrologueNotRelocatable;

    uint8_t* slot = AllocateCodeSlot(target);
    if (slot == nullptr)
        return HookResult::NoMemoryNearTarget;
    const SlotLayout layout = LayOutSlot(slot, target, detour, prologue, span.length);
    if (!Rel32Reaches(target + kEntryPatchSize, layout.jumpDestination))
        return HookResult::NoMemoryNearTarget;
    if (!WriteCodeSlot(slot, layout.code, layout.size))
        return HookResult::NoMemoryNearTarget;

    uint8_t jump[kEntryPatchSize];
    PutRel32Jump(jump, target, layout.jumpDestination);
    uint8_t entry[kEntryPatchSize];
    std::memcpy(entry, prologue, kEntryPatchSize);
    void* previousOriginal = nullptr;
    std::memcpy(&previousOriginal, originalSlot, sizeof previousOriginal);
    std::memcpy(originalSlot, &layout.trampoline, sizeof layout.trampoline);
    const bool oneInstruction = span.instructions == 1;
    const WriteOutcome outcome =
        WriteCode({target, entry, jump, kEntryPatchSize, target + 1,
                   oneInstruction ? target + 1 : target + span.length, layout.trampoline + 1});
    const HookResult result =
        outcome.threadsNotHeld ? HookResult::ThreadsNotHeld : FromPatchResult(outcome.patch);
    if (result != HookResult::Installed) {
        // The slot stays allocated and unused: slots are never handed back (ExecutableArena.h).
        std::memcpy(originalSlot, &previousOriginal, sizeof previousOriginal);
        return result;
    }
    target_ = target;
    trampoline_ = layout.trampoline;
    method_ = outcome.othersHeld ? HookMethod::OthersHeld : HookMethod::OneLockedWrite;
    jumpAt_ = target;
    std::memcpy(replacedBytes_, entry, kJumpSize);
    std::memcpy(jumpBytes_, jump, kJumpSize);
    return HookResult::Installed;
}

// The jump goes into the padding first, where no path leads yet, and the short jump to it then replaces
// `mov edi, edi`: one instruction, so no thread can stand inside it.
HookResult InlineHook::InstallHotPatch(uint8_t* target, const void* detour, void* originalSlot) noexcept {
    uint8_t* padding = target - kHotPatchPadding;
    uint8_t* trampoline = target + sizeof kMovEdiEdi;
    uint8_t jump[kEntryPatchSize];
    PutRel32Jump(jump, padding, static_cast<const uint8_t*>(detour));
    uint8_t paddingBytes[kEntryPatchSize];
    std::memcpy(paddingBytes, padding, kEntryPatchSize);
    const EntryPatchResult paddingWritten = ReplacePlainly(padding, paddingBytes, jump, kEntryPatchSize);
    if (paddingWritten != EntryPatchResult::Written)
        return FromPatchResult(paddingWritten);

    void* previousOriginal = nullptr;
    std::memcpy(&previousOriginal, originalSlot, sizeof previousOriginal);
    std::memcpy(originalSlot, &trampoline, sizeof trampoline);
    const WriteOutcome outcome =
        WriteCode({target, kMovEdiEdi, kShortJumpToPadding, sizeof kMovEdiEdi, target, target, target});
    const HookResult result =
        outcome.threadsNotHeld ? HookResult::ThreadsNotHeld : FromPatchResult(outcome.patch);
    if (result != HookResult::Installed) {
        std::memcpy(originalSlot, &previousOriginal, sizeof previousOriginal);
        ReplacePlainly(padding, jump, paddingBytes,
                       kEntryPatchSize); // still unreached: the entry is as it was
        return result;
    }
    target_ = target;
    trampoline_ = trampoline;
    method_ = outcome.othersHeld ? HookMethod::HotPatchOthersHeld : HookMethod::HotPatch;
    jumpAt_ = padding;
    std::memcpy(replacedBytes_, paddingBytes, kJumpSize);
    std::memcpy(jumpBytes_, jump, kJumpSize);
    return HookResult::Installed;
}

UnhookResult InlineHook::Remove() noexcept {
    const LastErrorKeeper keepLastError;
    if (!installed())
        return UnhookResult::NotInstalled;
    const bool hotPatched = method_ == HookMethod::HotPatch || method_ == HookMethod::HotPatchOthersHeld;
    return hotPatched ? RemoveHotPatch() : RemoveJump();
}

namespace {

UnhookResult FromUnpatchResult(const WriteOutcome& outcome) {
    if (outcome.threadsNotHeld)
        return UnhookResult::ThreadsNotHeld;
    switch (outcome.patch) {
    case EntryPatchResult::Written:
        return UnhookResult::Removed;
    case EntryPatchResult::ProtectionUnchangeable:
        return UnhookResult::ProtectionUnchangeable;
    case EntryPatchResult::NotPatchable:
    case EntryPatchResult::EntryChanged:
        break;
    }
    return UnhookResult::EntryChanged;
}

} // namespace

// The jump is one instruction: no thread stands inside it. One inside the trampoline's copy finishes
// there and jumps back behind the entry, to the same bytes as ever.
UnhookResult InlineHook::RemoveJump() noexcept {
    const UnhookResult result = FromUnpatchResult(
        WriteCode({target_, jumpBytes_, replacedBytes_, kJumpSize, target_, target_, target_}));
    // EntryChanged: someone else rewrote the entry (perhaps hooking over this hook and jumping on to it);
    // putting back our bytes would cut them off, so the entry is theirs now.
    if (result == UnhookResult::Removed || result == UnhookResult::EntryChanged)
        Forget();
    return result;
}

// The entry first gets its `mov edi, edi` back. Then the padding, with the other threads held: one that
// took the short jump and stands at the padding's jump is moved to the entry, where the original now
// runs. Should they not be held, the jump stays in the padding, where nothing leads any more.
UnhookResult InlineHook::RemoveHotPatch() noexcept {
    const UnhookResult result = FromUnpatchResult(
        WriteCode({target_, kShortJumpToPadding, kMovEdiEdi, sizeof kMovEdiEdi, target_, target_, target_}));
    if (result == UnhookResult::EntryChanged)
        Forget();
    if (result != UnhookResult::Removed)
        return result;
    {
        OtherThreadsSuspended others;
        if (others.complete() && others.MoveThreadsStandingIn(jumpAt_, target_, target_))
            ReplacePlainly(jumpAt_, jumpBytes_, replacedBytes_, kJumpSize);
    }
    Forget();
    return result;
}

void InlineHook::TakeFrom(InlineHook& other) noexcept {
    target_ = std::exchange(other.target_, nullptr);
    trampoline_ = other.trampoline_;
    method_ = other.method_;
    jumpAt_ = other.jumpAt_;
    std::memcpy(replacedBytes_, other.replacedBytes_, kJumpSize);
    std::memcpy(jumpBytes_, other.jumpBytes_, kJumpSize);
}

void InlineHook::Forget() noexcept {
    target_ = nullptr;
    method_ = HookMethod::None;
}

const char* DescribeHookResult(HookResult result) {
    switch (result) {
    case HookResult::Installed:
        return "installed";
    case HookResult::NullTarget:
        return "the target is null";
    case HookResult::NullDetour:
        return "the detour or the variable for the original is null";
    case HookResult::OwnerInUse:
        return "this owner already holds a hook";
    case HookResult::TargetUnreadable:
        return "the target is not in committed, readable memory";
    case HookResult::AlreadyHooked:
        return "the target begins with a jump (hooked already, or a thunk)";
    case HookResult::PrologueNotRelocatable:
        return "the target's first instructions cannot be moved unchanged";
    case HookResult::NoMemoryNearTarget:
        return "no executable memory for a trampoline within reach of the target";
    case HookResult::ProtectionUnchangeable:
        return "the target's page cannot be made writable";
    case HookResult::ThreadsNotHeld:
        return "another thread could not be held still while the entry was rewritten";
    case HookResult::EntryChanged:
        return "another writer changed the target's entry meanwhile";
    }
    return "an unnamed result";
}

const char* DescribeUnhookResult(UnhookResult result) {
    switch (result) {
    case UnhookResult::Removed:
        return "removed";
    case UnhookResult::NotInstalled:
        return "no hook is installed";
    case UnhookResult::EntryChanged:
        return "the entry no longer holds this hook's jump; left as it is";
    case UnhookResult::ProtectionUnchangeable:
        return "the entry's page cannot be made writable; the hook stays";
    case UnhookResult::ThreadsNotHeld:
        return "the other threads could not be held still for the write; the hook stays";
    }
    return "an unnamed result";
}

const char* DescribeHookMethod(HookMethod method) {
    switch (method) {
    case HookMethod::None:
        return "not installed";
    case HookMethod::OneLockedWrite:
        return "one locked write";
    case HookMethod::OthersHeld:
        return "other threads held and moved";
    case HookMethod::HotPatch:
        return "hot-patch form";
    case HookMethod::HotPatchOthersHeld:
        return "hot-patch form, other threads held";
    }
    return "an unnamed method";
}

} // namespace capture
