#include "capture/CaptureRing.h"

#include <cstring>

namespace capture {

namespace {

RingSlot* SlotAt(void* base, uint32_t index) {
    return reinterpret_cast<RingSlot*>(static_cast<char*>(base) + sizeof(RingHeader)) + index;
}

const RingSlot* SlotAt(const void* base, uint32_t index) {
    return reinterpret_cast<const RingSlot*>(static_cast<const char*>(base) + sizeof(RingHeader)) + index;
}

} // namespace

void InitializeRing(void* base) {
    RingHeader* header = static_cast<RingHeader*>(base);
    header->magic = kRingMagic;
    header->slotSize = kRingSlotSize;
    header->slotCount = kRingSlotCount;
    header->reserved = 0;
}

bool IsRing(const void* base) {
    const RingHeader* header = static_cast<const RingHeader*>(base);
    return header->magic == kRingMagic && header->slotSize == kRingSlotSize &&
           header->slotCount == kRingSlotCount;
}

bool PutLine(void* base, const char* text, uint32_t length) {
    if (length == 0 || length > kRingTextCapacity)
        return false;
    RingHeader* header = static_cast<RingHeader*>(base);
    // Checked first, so that the count stops growing soon after the ring is full instead of
    // running on towards wrapping round.
    if (static_cast<uint32_t>(header->reserved) >= kRingSlotCount)
        return false;
    const LONG taken = ::InterlockedIncrement(&header->reserved) - 1;
    if (taken < 0 || static_cast<uint32_t>(taken) >= kRingSlotCount)
        return false;
    RingSlot* slot = SlotAt(base, static_cast<uint32_t>(taken));
    std::memcpy(slot->text, text, length);
    slot->length = length;
    // The interlocked write orders the text before the mark for any reader that sees the mark.
    ::InterlockedExchange(&slot->committed, 1);
    return true;
}

void RingReader::Take(const void* base, std::vector<std::string>& lines, bool final) {
    const RingHeader* header = static_cast<const RingHeader*>(base);
    const LONG reserved = ::InterlockedCompareExchange(const_cast<volatile LONG*>(&header->reserved), 0, 0);
    const uint32_t end = reserved < 0 || static_cast<uint32_t>(reserved) > kRingSlotCount
                             ? kRingSlotCount
                             : uint32_t(reserved);
    for (; next_ < end; ++next_) {
        const RingSlot* slot = SlotAt(base, next_);
        if (::InterlockedCompareExchange(const_cast<volatile LONG*>(&slot->committed), 0, 0) != 1) {
            if (!final)
                return;
            ++skipped_;
            continue;
        }
        const uint32_t length = slot->length;
        if (length == 0 || length > kRingTextCapacity) {
            ++skipped_;
            continue;
        }
        lines.emplace_back(slot->text, length);
    }
}

} // namespace capture
