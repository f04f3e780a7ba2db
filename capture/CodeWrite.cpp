#include "capture/CodeWrite.h"

#include "capture/OtherThreads.h"

namespace capture {

WriteOutcome WriteCode(const CodeWrite& write) noexcept {
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

} // namespace capture
