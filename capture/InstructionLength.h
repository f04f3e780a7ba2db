// Length decoding for the few x86 and x86_64 instruction forms that function prologues and system-call
// stubs open with, so that whole instructions can be copied to a trampoline and run there unchanged.
// Pure and OS-free: it reads the bytes it is given and nothing beyond them. Anything it does not know,
// and anything whose meaning depends on where it sits (relative branches and calls, returns, rip-relative
// operands), is refused rather than guessed: a wrong length would make the trampoline run garbage.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

enum class CodeArchitecture { X86, X64 };

#if defined(_M_X64) || defined(__x86_64__)
constexpr CodeArchitecture kNativeArchitecture = CodeArchitecture::X64;
#else
constexpr CodeArchitecture kNativeArchitecture = CodeArchitecture::X86;
#endif

// The architectural limit; no decoded length exceeds it.
constexpr size_t kMaxInstructionLength = 15;

enum class DecodeVerdict {
    Relocatable,     // the length is known and the bytes run the same anywhere
    Unknown,         // not one of the forms decoded here (or not a valid encoding)
    ControlTransfer, // a jump, call or return: moving it would change where it goes
    RipRelative,     // an x86_64 operand addressed from the instruction's own position
    Truncated,       // the bytes given end inside the instruction
};

struct DecodedInstruction {
    DecodeVerdict verdict = DecodeVerdict::Unknown;
    size_t length = 0; // non-zero only when the verdict is Relocatable
};

// Decodes the one instruction at code[0], reading at most `available` bytes.
DecodedInstruction DecodeInstruction(const uint8_t* code, size_t available, CodeArchitecture architecture);

struct RelocationSpan {
    DecodeVerdict verdict = DecodeVerdict::Unknown; // of the first instruction that was refused, if any
    size_t length = 0;       // bytes of whole instructions covering the request; zero when refused
    size_t refusedAt = 0;    // offset of the refused instruction
    size_t instructions = 0; // whole instructions decoded before stopping
};

// The fewest whole instructions from code[0] that cover at least `atLeast` bytes, or the reason they
// cannot be relocated.
RelocationSpan RelocatableSpan(const uint8_t* code, size_t available, size_t atLeast,
                               CodeArchitecture architecture);

const char* DescribeDecodeVerdict(DecodeVerdict verdict);

} // namespace capture
