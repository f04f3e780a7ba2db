#include "capture/inject/NearImageAllocation.h"

#include <algorithm>
#include <cstdint>

namespace capture {
namespace {

// Every byte of the block must lie at an RVA, a 32-bit offset from the image base.
constexpr uint64_t kRvaSpan = uint64_t{1} << 32;

// The target has the caller's bitness (ImportInjection.h), so its loader adds as the caller does. In a
// 2 GB 32-bit space an image based high, such as a DLL copied and run as a program at the DLL's own
// base, can have nothing free above it: 32-bit Wine shows all of the upper gigabyte as reserved but
// for its own DLLs.
constexpr bool kRvaWrapsAround = sizeof(void*) == 4;

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

uint64_t AlignDown(uint64_t value, uint64_t alignment) {
    return value / alignment * alignment;
}

struct SearchSpace {
    uint64_t granularity;
    uint64_t lowest; // no byte of the block below this address
    uint64_t end;    // no byte of the block at or past this address
};

SearchSpace SpaceInReach(const RemoteImage& image) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const uint64_t userStart = reinterpret_cast<uintptr_t>(system.lpMinimumApplicationAddress);
    const uint64_t userEnd = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress) + uint64_t{1};
    return SearchSpace{system.dwAllocationGranularity, userStart, std::min(userEnd, image.base + kRvaSpan)};
}

void* ToPointer(uint64_t address) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

InjectionResult QueryFailure() {
    return ::GetLastError() == ERROR_ACCESS_DENIED ? InjectionResult::ProcessUnreadable
                                                   : InjectionResult::NoMemoryNearImage;
}

// NoMemoryNearImage when the system would not place it there after all: the search goes on.
InjectionResult AllocateAt(HANDLE process, uint64_t address, size_t size, UniqueRemoteMemory& block) {
    void* const allocated =
        ::VirtualAllocEx(process, ToPointer(address), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (allocated != nullptr) {
        block.reset(RemoteMemory{process, allocated});
        return kStepDone;
    }
    return ::GetLastError() == ERROR_ACCESS_DENIED ? InjectionResult::WriteRefused
                                                   : InjectionResult::NoMemoryNearImage;
}

// Region by region upwards from the image's end: a busy region is skipped whole, a free one is tried
// at its first boundary.
InjectionResult AllocateAbove(HANDLE process, const RemoteImage& image, size_t size, const SearchSpace& space,
                              UniqueRemoteMemory& block) {
    uint64_t at = uint64_t{image.base} + image.sizeOfImage;
    while (at + size <= space.end) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQueryEx(process, ToPointer(at), &region, sizeof region) == 0)
            return QueryFailure();
        const uint64_t regionStart = reinterpret_cast<uintptr_t>(region.BaseAddress);
        const uint64_t regionEnd = regionStart + region.RegionSize;
        if (region.State == MEM_FREE) {
            const uint64_t candidate = AlignUp(std::max(at, regionStart), space.granularity);
            if (candidate + size <= std::min(regionEnd, space.end)) {
                const InjectionResult result = AllocateAt(process, candidate, size, block);
                if (result != InjectionResult::NoMemoryNearImage)
                    return result;
            }
        }
        if (regionEnd <= at)
            return InjectionResult::NoMemoryNearImage;
        at = regionEnd;
    }
    return InjectionResult::NoMemoryNearImage;
}

// The same walk downwards from the image base, each free region tried at its last boundary where the
// block fits: the nearest free memory below the image.
InjectionResult AllocateBelow(HANDLE process, const RemoteImage& image, size_t size, const SearchSpace& space,
                              UniqueRemoteMemory& block) {
    uint64_t top = image.base; // no byte of the block at or past this address
    while (top >= space.lowest + size) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQueryEx(process, ToPointer(top - 1), &region, sizeof region) == 0)
            return QueryFailure();
        const uint64_t regionStart = reinterpret_cast<uintptr_t>(region.BaseAddress);
        if (region.State == MEM_FREE) {
            const uint64_t candidate = AlignDown(top - size, space.granularity);
            if (candidate >= std::max(regionStart, space.lowest)) {
                const InjectionResult result = AllocateAt(process, candidate, size, block);
                if (result != InjectionResult::NoMemoryNearImage)
                    return result;
            }
        }
        if (regionStart >= top)
            return InjectionResult::NoMemoryNearImage;
        top = regionStart;
    }
    return InjectionResult::NoMemoryNearImage;
}

} // namespace

InjectionResult AllocateWithinReachOfImage(HANDLE process, const RemoteImage& image, size_t size,
                                           UniqueRemoteMemory& block) {
    const SearchSpace space = SpaceInReach(image);
    const InjectionResult result = AllocateAbove(process, image, size, space, block);
    if (result != InjectionResult::NoMemoryNearImage || !kRvaWrapsAround)
        return result;
    return AllocateBelow(process, image, size, space, block);
}

} // namespace capture
