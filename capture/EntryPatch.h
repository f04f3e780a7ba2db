// Rewrites the first five bytes of a function entry while other threads may be calling it.
//
// When the five bytes lie within one aligned 8-byte word (the common case: entries are aligned), the
// whole word is swapped by one locked compare-exchange, so a caller fetches either the old or the new
// bytes. Otherwise the first two bytes are first swapped for `jmp $` (eb fe), which parks a caller at the
// entry for the moment the other three bytes are written, and then for the new first two bytes, each by
// a locked two-byte compare-exchange. An entry at 7 mod 8 has its first two bytes in two words and is
// refused. No scheme helps a thread that was stopped between two of the replaced instructions; that is
// left to the callers' luck, as in every inline patch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

constexpr size_t kEntryPatchSize = 5;

enum class EntryPatchResult { Written, NotPatchable, ProtectionUnchangeable, EntryChanged };

// Whether an entry at this address can be patched by one of the schemes above.
bool EntryPatchable(const uint8_t* entry) noexcept;

// Replaces `expected` at `entry` by `replacement`, or reports EntryChanged and writes nothing when the
// entry does not hold `expected`. Restores the page's protection and flushes the instruction cache.
EntryPatchResult ReplaceEntry(uint8_t* entry, const uint8_t (&expected)[kEntryPatchSize],
                              const uint8_t (&replacement)[kEntryPatchSize]) noexcept;

} // namespace capture
