// The prologue decoder over the system-call stubs ntdll opens with on each Windows and Wine measured,
// both architectures in either build (the decoder is pure), and over the forms it must refuse.
#include "capture/InstructionLength.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using capture::CodeArchitecture;
using capture::DecodeVerdict;
using Bytes = std::vector<uint8_t>;

constexpr CodeArchitecture kX86 = CodeArchitecture::X86;
constexpr CodeArchitecture kX64 = CodeArchitecture::X64;

capture::DecodedInstruction Decode(const Bytes& code, CodeArchitecture architecture) {
    return capture::DecodeInstruction(code.data(), code.size(), architecture);
}

size_t LengthOf(const Bytes& code, CodeArchitecture architecture) {
    const capture::DecodedInstruction decoded = Decode(code, architecture);
    EXPECT_EQ(DecodeVerdict::Relocatable, decoded.verdict) << capture::DescribeDecodeVerdict(decoded.verdict);
    return decoded.length;
}

capture::RelocationSpan Span(const Bytes& code, size_t atLeast, CodeArchitecture architecture) {
    return capture::RelocatableSpan(code.data(), code.size(), atLeast, architecture);
}

// i386 Wine 8 and the WoW64 ntdll of Windows 10: mov eax, n; mov edx, dispatcher; call edx; ret 0x18.
const Bytes kWineI386Stub = {0xb8, 0x5b, 0x00, 0x00, 0x00, 0xba, 0x30, 0x12,
                             0x30, 0x7b, 0xff, 0xd2, 0xc2, 0x18, 0x00};
// 32-bit Windows XP to 7: mov eax, n; mov edx, 7ffe0300; call [edx]; ret 0x18.
const Bytes kXpStub = {0xb8, 0xf7, 0x00, 0x00, 0x00, 0xba, 0x00, 0x03,
                       0xfe, 0x7f, 0xff, 0x12, 0xc2, 0x18, 0x00};
// Windows 8 and later, x86: mov eax, n; call the local dispatcher; ret 0x18.
const Bytes kWin8X86Stub = {0xb8, 0x5d, 0x00, 0x00, 0x00, 0xe8, 0x03, 0x00, 0x00, 0x00, 0xc2, 0x18, 0x00};
// x86_64 Wine 8 and Windows 10/11: mov r10, rcx; mov eax, n; test byte [7ffe0308], 1; jne; syscall; ret.
const Bytes kWineX64Stub = {0x4c, 0x8b, 0xd1, 0xb8, 0x60, 0x00, 0x00, 0x00, 0xf6, 0x04, 0x25, 0x08,
                            0x03, 0xfe, 0x7f, 0x01, 0x75, 0x03, 0x0f, 0x05, 0xc3, 0xcd, 0x2e, 0xc3};
// Windows 7 x64: mov r10, rcx; mov eax, n; syscall; ret.
const Bytes kWin7X64Stub = {0x4c, 0x8b, 0xd1, 0xb8, 0x5d, 0x00, 0x00, 0x00, 0x0f, 0x05, 0xc3};

TEST(InstructionLength, EveryX86StubOpensWithFiveRelocatableBytes) {
    for (const Bytes* stub : {&kWineI386Stub, &kXpStub, &kWin8X86Stub}) {
        const capture::RelocationSpan span = Span(*stub, 5, kX86);
        EXPECT_EQ(DecodeVerdict::Relocatable, span.verdict);
        EXPECT_EQ(5u, span.length);
        EXPECT_EQ(1u, span.instructions);
    }
}

TEST(InstructionLength, X86StubsDecodeUpToTheirCall) {
    EXPECT_EQ(5u, LengthOf(Bytes(kWineI386Stub.begin() + 5, kWineI386Stub.end()), kX86)); // mov edx, imm32
    EXPECT_EQ(DecodeVerdict::ControlTransfer,
              Decode(Bytes(kWineI386Stub.begin() + 10, kWineI386Stub.end()), kX86).verdict);
    EXPECT_EQ(DecodeVerdict::ControlTransfer,
              Decode(Bytes(kXpStub.begin() + 10, kXpStub.end()), kX86).verdict);
    const capture::RelocationSpan pastTheMove = Span(kWin8X86Stub, 6, kX86);
    EXPECT_EQ(DecodeVerdict::ControlTransfer, pastTheMove.verdict);
    EXPECT_EQ(5u, pastTheMove.refusedAt);
    EXPECT_EQ(0u, pastTheMove.length);
}

TEST(InstructionLength, EveryX64StubOpensWithTwoWholeInstructionsOfEightBytes) {
    for (const Bytes* stub : {&kWineX64Stub, &kWin7X64Stub}) {
        const capture::RelocationSpan span = Span(*stub, 5, kX64);
        EXPECT_EQ(DecodeVerdict::Relocatable, span.verdict);
        EXPECT_EQ(8u, span.length);
        EXPECT_EQ(2u, span.instructions);
    }
}

TEST(InstructionLength, WineX64StubDecodesUpToItsBranch) {
    EXPECT_EQ(8u, LengthOf(Bytes(kWineX64Stub.begin() + 8, kWineX64Stub.end()), kX64)); // test byte [abs], 1
    EXPECT_EQ(16u, Span(kWineX64Stub, 16, kX64).length);
    const capture::RelocationSpan pastTheTest = Span(kWineX64Stub, 17, kX64);
    EXPECT_EQ(DecodeVerdict::ControlTransfer, pastTheTest.verdict);
    EXPECT_EQ(16u, pastTheTest.refusedAt);
    EXPECT_EQ(DecodeVerdict::Unknown, Span(kWin7X64Stub, 9, kX64).verdict); // syscall
}

TEST(InstructionLength, CommonPrologueForms) {
    EXPECT_EQ(2u, LengthOf({0x8b, 0xff}, kX86));                          // mov edi, edi
    EXPECT_EQ(1u, LengthOf({0x55}, kX86));                                // push ebp
    EXPECT_EQ(2u, LengthOf({0x8b, 0xec}, kX86));                          // mov ebp, esp
    EXPECT_EQ(3u, LengthOf({0x83, 0xec, 0x20}, kX86));                    // sub esp, 0x20
    EXPECT_EQ(6u, LengthOf({0x81, 0xec, 0x00, 0x01, 0x00, 0x00}, kX86));  // sub esp, 0x100
    EXPECT_EQ(4u, LengthOf({0x8b, 0x44, 0x24, 0x04}, kX86));              // mov eax, [esp+4]
    EXPECT_EQ(6u, LengthOf({0x8b, 0x05, 1, 2, 3, 4}, kX86));              // mov eax, [abs32]
    EXPECT_EQ(1u, LengthOf({0x48}, kX86));                                // dec eax
    EXPECT_EQ(5u, LengthOf({0x68, 1, 2, 3, 4}, kX86));                    // push imm32
    EXPECT_EQ(4u, LengthOf({0xff, 0x74, 0x24, 0x08}, kX86));              // push [esp+8]
    EXPECT_EQ(5u, LengthOf({0x48, 0x89, 0x5c, 0x24, 0x08}, kX64));        // mov [rsp+8], rbx
    EXPECT_EQ(4u, LengthOf({0x48, 0x83, 0xec, 0x28}, kX64));              // sub rsp, 0x28
    EXPECT_EQ(2u, LengthOf({0x41, 0x54}, kX64));                          // push r12
    EXPECT_EQ(10u, LengthOf({0x48, 0xb8, 1, 2, 3, 4, 5, 6, 7, 8}, kX64)); // mov rax, imm64
    EXPECT_EQ(7u, LengthOf({0x48, 0xc7, 0xc0, 1, 2, 3, 4}, kX64));        // mov rax, imm32
    EXPECT_EQ(4u, LengthOf({0x66, 0xb8, 1, 2}, kX64));                    // mov ax, imm16
    EXPECT_EQ(5u, LengthOf({0x66, 0x81, 0xf9, 1, 2}, kX64));              // cmp cx, imm16
    EXPECT_EQ(8u, LengthOf({0x48, 0x8d, 0x84, 0x24, 1, 2, 3, 4}, kX64));  // lea rax, [rsp+disp32]
}

TEST(InstructionLength, RefusesJumpsCallsAndReturns) {
    for (CodeArchitecture architecture : {kX86, kX64}) {
        for (const Bytes& code : {Bytes{0xe9, 1, 2, 3, 4}, Bytes{0xe8, 1, 2, 3, 4}, Bytes{0xeb, 0xfe},
                                  Bytes{0x74, 0x02}, Bytes{0x0f, 0x84, 1, 2, 3, 4}, Bytes{0xc3},
                                  Bytes{0xc2, 0x18, 0x00}, Bytes{0xe3, 0x00}, Bytes{0xff, 0x25, 1, 2, 3, 4},
                                  Bytes{0xff, 0x15, 1, 2, 3, 4}, Bytes{0xff, 0xe0}, Bytes{0xff, 0xd2}}) {
            const capture::DecodedInstruction decoded = Decode(code, architecture);
            EXPECT_EQ(DecodeVerdict::ControlTransfer, decoded.verdict) << int(code[0]);
            EXPECT_EQ(0u, decoded.length);
        }
    }
}

TEST(InstructionLength, RefusesRipRelativeOperandsOnX64Only) {
    const Bytes movFromRip = {0x48, 0x8b, 0x05, 1, 2, 3, 4};
    const Bytes leaOfRip = {0x48, 0x8d, 0x0d, 1, 2, 3, 4};
    const Bytes testRipByte = {0xf6, 0x05, 1, 2, 3, 4, 1};
    for (const Bytes* code : {&movFromRip, &leaOfRip, &testRipByte})
        EXPECT_EQ(DecodeVerdict::RipRelative, Decode(*code, kX64).verdict);
    EXPECT_EQ(DecodeVerdict::RipRelative,
              Span({0x4c, 0x8b, 0xd1, 0x48, 0x8b, 0x05, 1, 2, 3, 4}, 5, kX64).verdict);
    EXPECT_EQ(7u, LengthOf(testRipByte, kX86)); // on x86 the same bytes address an absolute location
}

TEST(InstructionLength, RefusesWhatItDoesNotKnow) {
    for (CodeArchitecture architecture : {kX86, kX64}) {
        for (const Bytes& code : {Bytes{0xcc}, Bytes{0x0f, 0x1f, 0x00}, Bytes{0x0f, 0x05}, Bytes{0xf3, 0xc3},
                                  Bytes{0x67, 0x8b, 0x00}, Bytes{0x64, 0xa1, 0, 0, 0, 0}, Bytes{0x8d, 0xc0},
                                  Bytes{0xc7, 0xc8, 1, 2, 3, 4}, Bytes{0xf6, 0xd0}, Bytes{0xff, 0xf8},
                                  Bytes{0x66, 0x66, 0x90}, Bytes{0x06}}) {
            EXPECT_EQ(DecodeVerdict::Unknown, Decode(code, architecture).verdict) << int(code[0]);
        }
    }
    EXPECT_EQ(DecodeVerdict::Unknown, Decode({0x48, 0x48, 0x90}, kX64).verdict); // two REX prefixes
}

TEST(InstructionLength, RefusesBytesThatEndInsideAnInstruction) {
    EXPECT_EQ(DecodeVerdict::Truncated, Decode({0xb8, 1, 2}, kX86).verdict);
    EXPECT_EQ(DecodeVerdict::Truncated, Decode({0x48}, kX64).verdict);
    EXPECT_EQ(DecodeVerdict::Truncated, Decode({0x8b, 0x44}, kX86).verdict);
    EXPECT_EQ(DecodeVerdict::Truncated, Decode({0xf6, 0x04, 0x25, 0x08, 0x03, 0xfe, 0x7f}, kX64).verdict);
    EXPECT_EQ(DecodeVerdict::Truncated, Decode({}, kX86).verdict);
    const capture::RelocationSpan shortStub = Span({0x4c, 0x8b, 0xd1, 0xb8, 0x60}, 5, kX64);
    EXPECT_EQ(DecodeVerdict::Truncated, shortStub.verdict);
    EXPECT_EQ(3u, shortStub.refusedAt);
}

} // namespace
