// Executable memory the tests own, and a small function of known prologue to put in it: `int f(int a)`
// returning a + 7, opening like ntdll's system-call stubs on the build's architecture.
#pragma once

#include "common/Win32.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace hook_test {

using AddSeven = int(int);

#if defined(_WIN64)
// mov r10, rcx; mov eax, 7; add eax, r10d; ret
inline const std::vector<uint8_t> kAddSevenCode = {0x4c, 0x8b, 0xd1, 0xb8, 0x07, 0x00,
                                                   0x00, 0x00, 0x41, 0x03, 0xc2, 0xc3};
#else
// mov eax, 7; add eax, [esp+4]; ret
inline const std::vector<uint8_t> kAddSevenCode = {0xb8, 0x07, 0x00, 0x00, 0x00,
                                                   0x03, 0x44, 0x24, 0x04, 0xc3};
#endif

#if defined(_WIN64)
// The same function; its replaced bytes hold two instructions, the second at this offset.
inline const std::vector<uint8_t>& kTwoInstructionEntryCode = kAddSevenCode;
constexpr size_t kSecondInstructionOffset = 3;
#else
// push ebp; mov ebp, esp; mov eax, [ebp+8]; add eax, 7; pop ebp; ret: the replaced bytes hold three
// instructions; the third, at this offset, is where a thread is paused.
inline const std::vector<uint8_t> kTwoInstructionEntryCode = {0x55, 0x8b, 0xec, 0x8b, 0x45, 0x08,
                                                              0x83, 0xc0, 0x07, 0x5d, 0xc3};
constexpr size_t kSecondInstructionOffset = 3;
#endif

// One page of read-write-execute memory, released when the owner goes.
class CodePage {
public:
    CodePage()
        : base_(static_cast<uint8_t*>(
              ::VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE))) {}
    ~CodePage() {
        if (base_ != nullptr)
            ::VirtualFree(base_, 0, MEM_RELEASE);
    }
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

    static constexpr size_t kSize = 4096;

    uint8_t* Place(size_t offset, const std::vector<uint8_t>& code) {
        std::memcpy(base_ + offset, code.data(), code.size());
        ::FlushInstructionCache(::GetCurrentProcess(), base_ + offset, code.size());
        return base_ + offset;
    }
    AddSeven* PlaceAddSeven(size_t offset) {
        return reinterpret_cast<AddSeven*>(Place(offset, kAddSevenCode));
    }
    uint8_t* base() const { return base_; }

private:
    uint8_t* base_;
};

// The bytes at a code or data address.
template <typename Pointer>
std::vector<uint8_t> BytesAt(Pointer at, size_t size) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(at);
    return std::vector<uint8_t>(bytes, bytes + size);
}

template <typename Function>
const void* CodeAddress(Function* function) {
    return reinterpret_cast<const void*>(function);
}

} // namespace hook_test
