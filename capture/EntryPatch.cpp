#include "capture/EntryPatch.h"

#include "common/Win32.h"

#include <cstring>

namespace capture {
namespace {

constexpr uintptr_t kWordSize = 8;
constexpr uint16_t kJumpToSelf = 0xfeeb; // eb fe, little-endian

uintptr_t OffsetInWord(const uint8_t* at) {
    return reinterpret_cast<uintptr_t>(at) % kWordSize;
}

bool WithinOneWord(const uint8_t* at, size_t size) {
    return OffsetInWord(at) + size <= kWordSize;
}

// The entry's page made writable for the lifetime of the object, and its protection put back after.
class WritableCode {
public:
    WritableCode(uint8_t* at, size_t size) : at_(at), size_(size) {
        writable_ = ::VirtualProtect(at_, size_, PAGE_EXECUTE_READWRITE, &previous_) != FALSE;
    }
    ~WritableCode() {
        if (!writable_)
            return;
        DWORD ignored = 0;
        ::VirtualProtect(at_, size_, previous_, &ignored);
        ::FlushInstructionCache(::GetCurrentProcess(), at_, size_);
    }
    WritableCode(const WritableCode&) = delete;
    WritableCode& operator=(const WritableCode&) = delete;

    bool writable() const { return writable_; }

private:
    uint8_t* at_;
    size_t size_;
    DWORD previous_ = 0;
    bool writable_ = false;
};

// A locked compare-exchange of two bytes at any address that does not straddle an 8-byte word; the
// compiler's atomics would require two-byte alignment, which entries need not have.
bool CompareExchangeTwoBytes(uint8_t* at, uint16_t expected, uint16_t desired) {
    uint16_t previous = expected;
    __asm__ __volatile__("lock cmpxchgw %2, %1"
                         : "+a"(previous), "+m"(*reinterpret_cast<uint16_t*>(at))
                         : "r"(desired)
                         : "memory", "cc");
    return previous == expected;
}

uint16_t FirstTwo(const uint8_t (&bytes)[kEntryPatchSize]) {
    return uint16_t(bytes[0] | (bytes[1] << 8));
}

EntryPatchResult ReplaceWithinWord(uint8_t* entry, const uint8_t (&expected)[kEntryPatchSize],
                                   const uint8_t (&replacement)[kEntryPatchSize]) {
    uint8_t* wordStart = entry - OffsetInWord(entry);
    auto* word = reinterpret_cast<volatile LONG64*>(wordStart);
    WritableCode writable(wordStart, kWordSize);
    if (!writable.writable())
        return EntryPatchResult::ProtectionUnchangeable;
    const LONG64 current = *word;
    uint8_t bytes[kWordSize];
    std::memcpy(bytes, const_cast<const LONG64*>(&current), kWordSize);
    if (std::memcmp(bytes + OffsetInWord(entry), expected, kEntryPatchSize) != 0)
        return EntryPatchResult::EntryChanged;
    std::memcpy(bytes + OffsetInWord(entry), replacement, kEntryPatchSize);
    LONG64 desired = 0;
    std::memcpy(&desired, bytes, kWordSize);
    return ::InterlockedCompareExchange64(word, desired, current) == current ? EntryPatchResult::Written
                                                                             : EntryPatchResult::EntryChanged;
}

EntryPatchResult ReplaceParkingCallers(uint8_t* entry, const uint8_t (&expected)[kEntryPatchSize],
                                       const uint8_t (&replacement)[kEntryPatchSize]) {
    WritableCode writable(entry, kEntryPatchSize);
    if (!writable.writable())
        return EntryPatchResult::ProtectionUnchangeable;
    if (std::memcmp(entry + 2, expected + 2, kEntryPatchSize - 2) != 0 ||
        !CompareExchangeTwoBytes(entry, FirstTwo(expected), kJumpToSelf))
        return EntryPatchResult::EntryChanged;
    ::FlushInstructionCache(::GetCurrentProcess(), entry, kEntryPatchSize);
    volatile uint8_t* tail = entry + 2;
    for (size_t i = 2; i < kEntryPatchSize; ++i)
        tail[i - 2] = replacement[i];
    ::FlushInstructionCache(::GetCurrentProcess(), entry, kEntryPatchSize);
    // Nobody else writes an entry that holds `jmp $`, which no compiler emits at an entry.
    CompareExchangeTwoBytes(entry, kJumpToSelf, FirstTwo(replacement));
    return EntryPatchResult::Written;
}

} // namespace

bool EntryPatchable(const uint8_t* entry) noexcept {
    return WithinOneWord(entry, kEntryPatchSize) || WithinOneWord(entry, 2);
}

EntryPatchResult ReplaceEntry(uint8_t* entry, const uint8_t (&expected)[kEntryPatchSize],
                              const uint8_t (&replacement)[kEntryPatchSize]) noexcept {
    if (WithinOneWord(entry, kEntryPatchSize))
        return ReplaceWithinWord(entry, expected, replacement);
    if (WithinOneWord(entry, 2))
        return ReplaceParkingCallers(entry, expected, replacement);
    return EntryPatchResult::NotPatchable;
}

} // namespace capture
