// Routines that only later Windows versions export (Vista on, mostly) are looked up at run time in
// the module the process has already loaded, never imported: an image that imports one does not load
// on Windows XP or Server 2003 at all. Every caller keeps a fallback for the null answer.
#pragma once

#include "common/Win32.h"

// The kernel32 routine `name`, or null where this Windows lacks it. The thread's last error is kept
// as it was, since the capture looks routines up inside calls of the program it runs in.
template <typename Function>
Function Kernel32Function(const char* name) noexcept {
    const DWORD savedError = ::GetLastError();
    const HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
    const FARPROC found = kernel32 != nullptr ? ::GetProcAddress(kernel32, name) : nullptr;
    ::SetLastError(savedError);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}
