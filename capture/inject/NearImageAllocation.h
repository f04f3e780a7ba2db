// Memory for a new import table in another process, where an RVA reaches it: the loader finds each
// table at the image base plus a 32-bit offset. A 64-bit loader's sum does not wrap, so the table must
// lie above the base (an RVA is unsigned) and less than 4 GB from it; a 32-bit loader's sum wraps
// around the whole address space, so any address is in reach, below the image too.
#pragma once

#include "capture/inject/ImageHeaders.h"
#include "capture/inject/RemoteMemory.h"

#include <cstddef>

namespace capture {

// Read-write memory of `size` bytes at the first allocation-granularity boundary past the image's end
// where it fits; in a 32-bit process, failing that, at the highest boundary below the image where it
// fits. The RVA of the block is its address less the image base, modulo 4 GB. NoMemoryNearImage when
// it fits nowhere in reach, ProcessUnreadable or WriteRefused when the handle may not query or
// allocate.
InjectionResult AllocateWithinReachOfImage(HANDLE process, const RemoteImage& image, size_t size,
                                           UniqueRemoteMemory& block);

} // namespace capture
