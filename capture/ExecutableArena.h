// Executable memory for relays and trampolines, handed out in fixed slots for the rest of the process:
// a slot is never freed, because a thread may be running through it at any time (InlineHook.h).
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

constexpr size_t kCodeSlotSize = 64;

// A slot every byte of which a rel32 jump from `target` reaches on x86_64; any slot on i686. Null when
// none can be had.
uint8_t* AllocateCodeSlot(const void* target) noexcept;

// Copies code into a slot. Its page stays executable throughout, for the other slots' sake.
bool WriteCodeSlot(uint8_t* slot, const uint8_t* code, size_t size) noexcept;

// Whether a rel32 displacement from the end of a jump at `from` reaches `to`.
bool Rel32Reaches(const uint8_t* jumpEnd, const uint8_t* to) noexcept;

} // namespace capture
