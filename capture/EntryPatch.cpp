#include "capture/EntryPatch.h"

#include "common/Win32.h"

#include <cstring>

namespace capture {
namespace {

constexpr uintptr_t kWordSize = 8;

uintptr_t OffsetInWord(const uint8_t* at) {
    return reinterpret_cast<uintptr_t>(at) % kWordSize;
}

// The code's page made writable for the lifetime of the object, and its protection put back after.
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

} // namespace

bool OneLockedWriteCovers(const uint8_t* at, size_t size) noexcept {
    return size <= kWordSize && OffsetInWord(at) + size <= kWordSize;
}

EntryPatchResult ReplaceLocked(uint8_t* at, const uint8_t* expected, const uint8_t* replacement,
                               size_t size) noexcept {
    if (!OneLockedWriteCovers(at, size))
        return EntryPatchResult::NotPatchable;
    uint8_t* wordStart = at - OffsetInWord(at);
    auto* word = reinterpret_cast<volatile LONG64*>(wordStart);
    WritableCode writable(wordStart, kWordSize);
    if (!writable.writable())
        return EntryPatchResult::ProtectionUnchangeable;
    const LONG64 current = *word;
    uint8_t bytes[kWordSize];
    std::memcpy(bytes, const_cast<const LONG64*>(&current), kWordSize);
    if (std::memcmp(bytes + OffsetInWord(at), expected, size) != 0)
        return EntryPatchResult::EntryChanged;
    std::memcpy(bytes + OffsetInWord(at), replacement, size);
    LONG64 desired = 0;
    std::memcpy(&desired, bytes, kWordSize);
    return ::InterlockedCompareExchange64(word, desired, current) == current ? EntryPatchResult::Written
                                                                             : EntryPatchResult::EntryChanged;
}

EntryPatchResult ReplacePlainly(uint8_t* at, const uint8_t* expected, const uint8_t* replacement,
                                size_t size) noexcept {
    WritableCode writable(at, size);
    if (!writable.writable())
        return EntryPatchResult::ProtectionUnchangeable;
    if (std::memcmp(at, expected, size) != 0)
        return EntryPatchResult::EntryChanged;
    volatile uint8_t* code = at;
    for (size_t i = 0; i < size; ++i)
        code[i] = replacement[i];
    return EntryPatchResult::Written;
}

} // namespace capture
