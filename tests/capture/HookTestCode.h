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

// A function `int f(int a)` (stdcall on i686) that returns a + `added`, laid out as the entries of one kind
// of system library begin, with the bytes that stand in front of it.
struct EntryLayout {
    const char* name;
    std::vector<uint8_t> before;
    std::vector<uint8_t> code;
    int added;
    bool hotPatchable;   // `mov edi, edi` with five bytes of padding in front (i686)
    bool oneInstruction; // the first five bytes are one instruction
};

using StubFunction = int WINAPI(int);

inline void AppendAddress(std::vector<uint8_t>& code, const void* address) {
    const auto value = reinterpret_cast<uintptr_t>(address);
    for (size_t i = 0; i < sizeof value; ++i)
        code.push_back(uint8_t(value >> (8 * i)));
}

#if defined(_WIN64)
// The x86_64 stubs below call nothing.
inline const std::vector<uint8_t> kSystemCallStandIn = {0xc3};

// ntdll's system-call stubs open with `mov r10, rcx; mov eax, N`; the syscall that follows is replaced by
// adding the argument.
inline std::vector<EntryLayout> EntryLayouts(const void*, const void*) {
    return {{"x86_64 system-call stub",
             {},
             {0x4c, 0x8b, 0xd1, 0xb8, 0x34, 0x12, 0x00, 0x00, 0x41, 0x03, 0xc2, 0xc3},
             0x1234,
             false,
             false}};
}
#else
// What the stubs call instead of the kernel: the service number in eax plus the stub's argument
// (add eax, [esp+8]; ret).
inline const std::vector<uint8_t> kSystemCallStandIn = {0x03, 0x44, 0x24, 0x08, 0xc3};

// `systemCall` is where kSystemCallStandIn was placed, `systemCallCell` a pointer-sized cell holding it
// (SharedUserData's SystemCall field, in the real stubs).
inline std::vector<EntryLayout> EntryLayouts(const void* systemCall, const void* systemCallCell) {
    const uint8_t serviceNumber[] = {0xb8, 0x34, 0x12, 0x00, 0x00}; // mov eax, 1234h
    const uint8_t returnFour[] = {0xc2, 0x04, 0x00};
    // XP SP2, Server 2003 and ReactOS: mov eax, N; mov edx, cell; call [edx]; ret 4
    EntryLayout indirect{"system-call stub, call [edx] (2003, ReactOS)", {}, {}, 0x1234, false, true};
    indirect.code.assign(serviceNumber, serviceNumber + 5);
    indirect.code.push_back(0xba);
    AppendAddress(indirect.code, systemCallCell);
    indirect.code.insert(indirect.code.end(), {0xff, 0x12});
    indirect.code.insert(indirect.code.end(), returnFour, returnFour + 3);
    // XP before SP2: mov eax, N; mov edx, stub; call edx; ret 4
    EntryLayout direct{"system-call stub, call edx (XP)", {}, {}, 0x1234, false, true};
    direct.code.assign(serviceNumber, serviceNumber + 5);
    direct.code.push_back(0xba);
    AppendAddress(direct.code, systemCall);
    direct.code.insert(direct.code.end(), {0xff, 0xd2});
    direct.code.insert(direct.code.end(), returnFour, returnFour + 3);
    // mov edi, edi; push ebp; mov ebp, esp; mov eax, [ebp+8]; add eax, 7; pop ebp; ret 4
    const std::vector<uint8_t> framed = {0x8b, 0xff, 0x55, 0x8b, 0xec, 0x8b, 0x45, 0x08,
                                         0x83, 0xc0, 0x07, 0x5d, 0xc2, 0x04, 0x00};
    // push ebp; mov ebp, esp; mov eax, [ebp+8]; add eax, 7; pop ebp; ret 4: three instructions replaced
    const std::vector<uint8_t> frameOnly(framed.begin() + 2, framed.end());
    return {indirect,
            direct,
            {"hot-patchable entry, int3 padding", std::vector<uint8_t>(5, 0xcc), framed, 7, true, false},
            {"hot-patchable entry, nop padding", std::vector<uint8_t>(5, 0x90), framed, 7, true, false},
            {"frame prologue, no padding", {}, frameOnly, 7, false, false}};
}
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
