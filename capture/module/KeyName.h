// A key's full kernel name ("\REGISTRY\MACHINE\SOFTWARE\Wow6432Node\X"), as NtQueryKey gives it: the
// physical key, whatever view or redirection the program opened it through.
#pragma once

#include "capture/module/NtCalls.h"

#include <string>

namespace capture {

// Empty when the handle names no key the system can name (a deleted key, a bad handle).
std::wstring QueryKeyName(NtQueryKeyFunction* queryKey, HANDLE key);

} // namespace capture
