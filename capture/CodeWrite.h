// Replacing a few bytes of code that other threads may be running, by the cheapest way that is safe:
// one locked write (EntryPatch.h) where it covers them and no thread can stand inside them, and otherwise
// with every other thread held (OtherThreads.h) and those standing between two of the replaced
// instructions moved to where the same instructions stand elsewhere.
#pragma once

#include "capture/EntryPatch.h"

#include <cstddef>
#include <cstdint>

namespace capture {

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
WriteOutcome WriteCode(const CodeWrite& write) noexcept;

} // namespace capture
