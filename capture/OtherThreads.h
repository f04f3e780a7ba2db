// Every other thread of the process held still while an entry is rewritten.
//
// While they are held, code they may be running can be written byte by byte, and a thread paused between
// two of the instructions replaced is moved to where the same instruction stands in the trampoline, which
// holds the same instructions unchanged, so it finishes them there and jumps back.
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

    // Moves each held thread whose next instruction is within [begin, end) to the same offset from `to`.
    // SuspendThread only asks for the suspension; reading a thread's context waits until it has taken
    // effect, so this is called, with an empty range if need be, before any code is written. False when a
    // thread's context could not be read or written.
    bool MoveThreadsStandingIn(const uint8_t* begin, const uint8_t* end, const uint8_t* to) noexcept;

private:
    // Both freed only after every thread is resumed.
    std::vector<DWORD> ids_;
    std::vector<UniqueHandle> suspended_;
    bool complete_ = false;
};

} // namespace capture
