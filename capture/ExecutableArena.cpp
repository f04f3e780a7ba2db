#include "capture/ExecutableArena.h"

#include "common/Win32.h"

#include <cstring>

namespace capture {
namespace {

constexpr size_t kArenaSize = 4096;
constexpr size_t kMaxArenas = 64;
// A little short of 2 GB, so that every byte of an arena is in reach, whichever end is measured.
constexpr uint64_t kReach = 0x7ff00000;

struct Arena {
    uint8_t* base;
    size_t used;
};

// Plain static data, initialised before any code runs: no constructor can run late or out of order in a
// module that is loaded into someone else's process.
// The lock is one word, free at zero, for the same reason (an SRWLOCK would do too, but came with
// Vista).
volatile LONG arenaLock = 0;
Arena arenas[kMaxArenas];
size_t arenaCount = 0;

#if defined(_WIN64)
uint64_t Distance(uintptr_t a, uintptr_t b) {
    return a > b ? a - b : b - a;
}
#endif

bool ArenaReaches(const Arena& arena, const void* target) {
#if defined(_WIN64)
    const uintptr_t at = reinterpret_cast<uintptr_t>(target);
    const uintptr_t base = reinterpret_cast<uintptr_t>(arena.base);
    return Distance(base, at) < kReach && Distance(base + kArenaSize, at) < kReach;
#else
    (void)arena;
    (void)target;
    return true; // a rel32 jump reaches all of a 32-bit address space
#endif
}

uint8_t* TryAllocateAt(uintptr_t address) {
    return static_cast<uint8_t*>(::VirtualAlloc(reinterpret_cast<void*>(address), kArenaSize,
                                                MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READ));
}

#if defined(_WIN64)
uintptr_t AlignDown(uintptr_t value, uintptr_t alignment) {
    return value - value % alignment;
}

uintptr_t AlignUp(uintptr_t value, uintptr_t alignment) {
    return AlignDown(value + alignment - 1, alignment);
}

struct SearchRange {
    uintptr_t lowest;
    uintptr_t highest; // the highest arena base allowed
    uintptr_t granularity;
};

SearchRange RangeAround(uintptr_t target) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    SearchRange range;
    range.granularity = system.dwAllocationGranularity;
    const uintptr_t minimum = reinterpret_cast<uintptr_t>(system.lpMinimumApplicationAddress);
    const uintptr_t maximum = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress);
    const uintptr_t below = target > kReach ? target - kReach : 0;
    range.lowest = AlignUp(below > minimum ? below : minimum, range.granularity);
    const uintptr_t above = target + kReach - kArenaSize;
    range.highest = AlignDown(above < maximum - kArenaSize ? above : maximum - kArenaSize, range.granularity);
    return range;
}

// Walks the free regions from the entry downwards, then upwards, and takes the first that accepts an
// arena; occupied regions are skipped whole rather than probed one granule at a time.
uint8_t* AllocateBelow(uintptr_t target, const SearchRange& range) {
    uintptr_t at = AlignDown(target, range.granularity);
    while (at >= range.lowest) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region) == 0)
            return nullptr;
        const uintptr_t regionBase = reinterpret_cast<uintptr_t>(region.BaseAddress);
        if (region.State == MEM_FREE && at <= range.highest) {
            if (uint8_t* arena = TryAllocateAt(at))
                return arena;
        }
        if (regionBase < range.lowest + range.granularity)
            return nullptr;
        at = AlignDown(regionBase - 1, range.granularity);
    }
    return nullptr;
}

uint8_t* AllocateAbove(uintptr_t target, const SearchRange& range) {
    uintptr_t at = AlignUp(target, range.granularity);
    while (at <= range.highest) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region) == 0)
            return nullptr;
        if (region.State == MEM_FREE) {
            if (uint8_t* arena = TryAllocateAt(at))
                return arena;
        }
        const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (regionEnd <= at)
            return nullptr;
        at = AlignUp(regionEnd, range.granularity);
    }
    return nullptr;
}
#endif

uint8_t* AllocateArenaNear(const void* target) {
#if defined(_WIN64)
    const uintptr_t at = reinterpret_cast<uintptr_t>(target);
    const SearchRange range = RangeAround(at);
    if (uint8_t* arena = AllocateBelow(at, range))
        return arena;
    return AllocateAbove(at, range);
#else
    (void)target;
    return TryAllocateAt(0);
#endif
}

// A holder only allocates an arena or writes one slot, so a waiter gives up its turn and tries again;
// after a few turns it sleeps a tick, so that a holder of lower priority gets to run and let go.
// Neither call touches the thread's last error.
class ExclusiveLock {
public:
    explicit ExclusiveLock(volatile LONG& lock) : lock_(lock) {
        for (unsigned turn = 0; ::InterlockedCompareExchange(&lock_, 1, 0) != 0; ++turn)
            ::Sleep(turn < 16 ? 0 : 1);
    }
    ~ExclusiveLock() { ::InterlockedExchange(&lock_, 0); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    volatile LONG& lock_;
};

} // namespace

bool Rel32Reaches(const uint8_t* jumpEnd, const uint8_t* to) noexcept {
    const int64_t displacement = static_cast<int64_t>(reinterpret_cast<intptr_t>(to)) -
                                 static_cast<int64_t>(reinterpret_cast<intptr_t>(jumpEnd));
#if defined(_WIN64)
    return displacement >= INT32_MIN && displacement <= INT32_MAX;
#else
    (void)displacement;
    return true; // displacements wrap around a 32-bit address space
#endif
}

uint8_t* AllocateCodeSlot(const void* target) noexcept {
    ExclusiveLock locked(arenaLock);
    for (size_t i = 0; i < arenaCount; ++i) {
        Arena& arena = arenas[i];
        if (arena.used + kCodeSlotSize <= kArenaSize && ArenaReaches(arena, target)) {
            uint8_t* slot = arena.base + arena.used;
            arena.used += kCodeSlotSize;
            return slot;
        }
    }
    if (arenaCount == kMaxArenas)
        return nullptr;
    uint8_t* base = AllocateArenaNear(target);
    if (base == nullptr)
        return nullptr;
    arenas[arenaCount++] = Arena{base, kCodeSlotSize};
    return base;
}

bool WriteCodeSlot(uint8_t* slot, const uint8_t* code, size_t size) noexcept {
    if (size > kCodeSlotSize)
        return false;
    // One writer at a time, so that one cannot put back the protection while another still writes.
    ExclusiveLock locked(arenaLock);
    DWORD previous = 0;
    if (!::VirtualProtect(slot, size, PAGE_EXECUTE_READWRITE, &previous))
        return false;
    std::memcpy(slot, code, size);
    DWORD ignored = 0;
    ::VirtualProtect(slot, size, previous, &ignored);
    ::FlushInstructionCache(::GetCurrentProcess(), slot, size);
    return true;
}

} // namespace capture
