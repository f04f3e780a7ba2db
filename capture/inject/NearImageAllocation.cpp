#include "capture/inject/NearImageAllocation.h"

#include <algorithm>
#include <cstdint>

namespace capture {
namespace {

// Every byte of the block must lie at an RVA, a 32-bit offset from the image base.
constexpr uint64_t kRvaSpan = uint64_t{1} << 32;

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

struct SearchSpace {
    uint64_t granularity;
    uint64_t end; // no byte of the block at or past this address
};

SearchSpace SpaceAbove(const RemoteImage& image) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const uint64_t userEnd = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress) + uint64_t{1};
    return SearchSpace{system.dwAllocationGranularity, std::min(userEnd, image.base + kRvaSpan)};
}

void* ToPointer(uint64_t address) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

} // namespace

InjectionResult AllocateAboveImage(HANDLE process, const RemoteImage& image, size_t size,
                                   UniqueRemoteMemory& block) {
    const SearchSpace space = SpaceAbove(image);
    uint64_t at = uint64_t{image.base} + image.sizeOfImage;
    // Region by region: a busy region is skipped whole, a free one is tried at its first boundary.
    while (at + size <= space.end) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQueryEx(process, ToPointer(at), &region, sizeof region) == 0)
            return ::GetLastError() == ERROR_ACCESS_DENIED ? InjectionResult::ProcessUnreadable
                                                           : InjectionResult::NoMemoryNearImage;
        const uint64_t regionStart = reinterpret_cast<uintptr_t>(region.BaseAddress);
        const uint64_t regionEnd = regionStart + region.RegionSize;
        if (region.State == MEM_FREE) {
            const uint64_t candidate = AlignUp(std::max(at, regionStart), space.granularity);
            if (candidate + size <= std::min(regionEnd, space.end)) {
                void* const address = ::VirtualAllocEx(process, ToPointer(candidate), size,
                                                       MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
                if (address != nullptr) {
                    block.reset(RemoteMemory{process, address});
                    return kStepDone;
                }
                if (::GetLastError() == ERROR_ACCESS_DENIED)
                    return InjectionResult::WriteRefused;
            }
        }
        if (regionEnd <= at)
            return InjectionResult::NoMemoryNearImage;
        at = regionEnd;
    }
    return InjectionResult::NoMemoryNearImage;
}

} // namespace capture
