// The C++ runtime of the posix thread model links in winpthreads, which imports GetTickCount64 from
// kernel32; XP and Server 2003 lack it, and their loader would refuse every guest program for that
// one import. This file defines the import's pointer itself: linked as an object ahead of the system
// libraries, it is what the runtime's reference binds to, so kernel32 is never asked for the name.
// The pointer leads to kernel32's own GetTickCount64 where it exists, else to GetTickCount widened:
// a guest program runs for minutes, far from the 49.7 days after which GetTickCount wraps.
#include "common/Win32.h"

namespace {

// Asked for anew on each call: no lazy static, whose guard would itself take the runtime's lock,
// which waits with this very routine.
ULONGLONG WINAPI TickCount64() noexcept {
    using Routine = ULONGLONG(WINAPI*)();
    Routine system = nullptr;
    const FARPROC address = ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetTickCount64");
    static_assert(sizeof system == sizeof address, "a routine's address");
    __builtin_memcpy(&system, &address, sizeof system);
    return system != nullptr ? system() : ULONGLONG(::GetTickCount());
}

} // namespace

// The symbol the import library would otherwise provide, by its exact name.
extern "C" ULONGLONG(WINAPI* const guestTickCount64Import)() __asm__("__imp__GetTickCount64@0");
extern "C" ULONGLONG(WINAPI* const guestTickCount64Import)() = TickCount64;
