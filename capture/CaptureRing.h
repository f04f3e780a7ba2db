// The capture's lines on their way to the registry monitor's log: a shared memory block that the
// tracker makes for one tracked run and the capture DLL in each of the setup's processes writes
// into. Putting a line there costs a copy, where the driver's append costs a round trip through
// the system (hundreds of microseconds under Wine); and the block is the tracker's, so a line in it
// survives its writer being killed the moment its registry call returns. The tracker relays the
// lines to the driver in batches while the setup runs, and all that are left before it stops.
//
// Layout: a header, then kRingSlotCount slots of kRingSlotSize bytes, used once each in the order
// of their numbers; a writer takes the next number with one atomic increment, fills the slot and
// marks it committed last. A line that does not fit a slot, or comes when every slot is taken, is
// appended to the driver directly by its writer: slower, but nothing is lost.
//
// The writers are guests in programs the tracker does not trust: the reader takes nothing from the
// block without checking it.
#pragma once

#include "common/Win32.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace capture {

constexpr uint32_t kRingMagic = 0x474E524Fu; // "ORNG"
constexpr uint32_t kRingSlotSize = 512;
constexpr uint32_t kRingSlotCount = 32768; // 16 MiB: far more lines than a setup writes
constexpr uint32_t kRingTextCapacity = kRingSlotSize - 8;
constexpr const wchar_t* kRingVariable = L"ORVANE_CAPTURE_RING";

struct RingHeader {
    uint32_t magic;
    uint32_t slotSize;
    uint32_t slotCount;
    volatile LONG reserved; // slots taken so far; may pass slotCount once the ring is full
    uint8_t padding[48];
};

struct RingSlot {
    volatile LONG committed; // 0 while empty or being written, 1 once the text is whole
    uint32_t length;
    char text[kRingTextCapacity];
};

static_assert(sizeof(RingHeader) == 64, "the header keeps the slots aligned");
static_assert(sizeof(RingSlot) == kRingSlotSize, "a slot is one fixed size");

constexpr size_t kRingBytes = sizeof(RingHeader) + size_t(kRingSlotCount) * kRingSlotSize;

// Lays out an empty ring in `base`, which holds kRingBytes zeroed bytes.
void InitializeRing(void* base);

// True when `base` (kRingBytes bytes) holds a ring of this layout.
bool IsRing(const void* base);

// Puts one line into the ring; false when it is empty, longer than a slot holds, or the ring is
// full, and the caller must log it some other way. Any thread of any process that maps the ring.
bool PutLine(void* base, const char* text, uint32_t length);

// Takes the committed lines in slot order, from where the last call stopped. A slot not committed
// yet stops the walk, as its writer may still be at work, unless `final`: once every writer has
// ended such a slot will never be committed and is passed over. A slot whose length cannot be right
// is passed over too.
class RingReader {
public:
    void Take(const void* base, std::vector<std::string>& lines, bool final);
    // Slots passed over without a line.
    uint32_t skipped() const { return skipped_; }

private:
    uint32_t next_ = 0;
    uint32_t skipped_ = 0;
};

} // namespace capture
