// Where the main image of a process created suspended is, from the process's PEB.
#pragma once

#include "capture/inject/InjectionStep.h"

#include "common/Win32.h"

#include <cstdint>

namespace capture {

// The image base the process's PEB names. ProcessStarted when the process has ended, or when its loader
// has begun (the PEB has a loader data pointer): the import table has been read by then.
InjectionResult FindMainImage(HANDLE process, uintptr_t& imageBase);

} // namespace capture
