// Rewrites a few bytes of code that other threads may be running.
//
// Two ways, and the caller picks by where the bytes lie and what else it has arranged:
// - ReplaceLocked: the bytes lie within one aligned 8-byte word, which is swapped whole by one locked
//   compare-exchange, so a thread fetching them sees either the old or the new bytes. Safe with every
//   other thread running, as long as no thread can be paused between two of the instructions replaced.
// - ReplacePlainly: the bytes are written one by one. Only for bytes no thread can be running: every
//   other thread is held (OtherThreads.h), or the bytes are ones no path reaches yet (the padding in
//   front of a hot-patchable entry).
// Both restore the page's protection and flush the instruction cache.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

constexpr size_t kEntryPatchSize = 5;

enum class EntryPatchResult { Written, NotPatchable, ProtectionUnchangeable, EntryChanged };

// Whether `size` bytes at `at` lie within one aligned 8-byte word.
bool OneLockedWriteCovers(const uint8_t* at, size_t size) noexcept;

// Replaces `expected` at `at` by `replacement` (`size` bytes each), or reports EntryChanged and writes
// nothing when the code does not hold `expected`; NotPatchable when one locked write cannot cover it.
EntryPatchResult ReplaceLocked(uint8_t* at, const uint8_t* expected, const uint8_t* replacement,
                               size_t size) noexcept;

// The same, written byte by byte: for code no thread is running (see above).
EntryPatchResult ReplacePlainly(uint8_t* at, const uint8_t* expected, const uint8_t* replacement,
                                size_t size) noexcept;

} // namespace capture
