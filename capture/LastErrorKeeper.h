// Keeps the calling thread's last error across a scope. A detour runs on the hooked program's own thread,
// between its call and the return it expects: whatever the detour does must leave the last error as the
// original left it, or the program sees an error from code it never called.
#pragma once

#include "common/Win32.h"

namespace capture {

// Put one around any work a detour does of its own, before or after the call through the trampoline;
// taken after that call, it keeps exactly what the original set.
class LastErrorKeeper {
public:
    LastErrorKeeper() noexcept : saved_(::GetLastError()) {}
    ~LastErrorKeeper() { ::SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD saved_;
};

} // namespace capture
