// Memory for a new import table in another process, where an RVA reaches it: above the image base (an
// RVA is unsigned) and less than 4 GB from it.
#pragma once

#include "capture/inject/ImageHeaders.h"
#include "capture/inject/RemoteMemory.h"

#include <cstddef>

namespace capture {

// Read-write memory of `size` bytes at the first allocation-granularity boundary past the image's end
// where it fits. NoMemoryNearImage when none does, ProcessUnreadable or WriteRefused when the handle
// may not query or allocate.
InjectionResult AllocateAboveImage(HANDLE process, const RemoteImage& image, size_t size,
                                   UniqueRemoteMemory& block);

} // namespace capture
