// Every other thread of the process held still while an entry is rewritten.
//
// When the five bytes replaced cover more than one instruction, a thread paused between two of them
// would resume in the middle of the new jump. With the others suspended, any thread whose instruction
// pointer lies inside the replaced bytes is moved to the same offset in the trampoline, which holds the
// same instructions, and so finishes them there and jumps back.
//
// Nothing may allocate from a heap while the threads are suspended: one of them may hold the heap's lock.
// The list of threads is therefore taken, and its storage sized, before the first is suspended.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace capture {

class OtherThreadsSuspended {
public:
    // Suspends every other thread it can see; complete() says whether that was all of them.
    OtherThreadsSuspended() noexcept;
    ~OtherThreadsSuspended();
    OtherThreadsSuspended(const OtherThreadsSuspended&) = delete;
    OtherThreadsSuspended& operator=(const OtherThreadsSuspended&) = delete;

    bool complete() const noexcept { return complete_; }

    // Moves each suspended thread whose instruction pointer is within (from, from + length) to the same
    // offset from `to`. False when a thread's context could not be read or written.
    bool MoveInstructionPointers(const uint8_t* from, size_t length, const uint8_t* to) noexcept;

private:
    // Both freed only after every thread is resumed.
    std::vector<DWORD> ids_;
    std::vector<UniqueHandle> suspended_;
    bool complete_ = false;
};

} // namespace capture
