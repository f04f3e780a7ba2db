#include "capture/InstructionLength.h"

namespace capture {
namespace {

// Reads forward through the caller's bytes, never past `available`, never past the architectural limit.
class ByteCursor {
public:
    ByteCursor(const uint8_t* code, size_t available)
        : code_(code), available_(available < kMaxInstructionLength ? available : kMaxInstructionLength) {}

    bool Next(uint8_t& byte) {
        if (position_ >= available_)
            return false;
        byte = code_[position_++];
        return true;
    }
    bool Skip(size_t count) {
        if (count > available_ - position_)
            return false;
        position_ += count;
        return true;
    }
    bool Peek(uint8_t& byte) const {
        if (position_ >= available_)
            return false;
        byte = code_[position_];
        return true;
    }
    size_t position() const { return position_; }

private:
    const uint8_t* code_;
    size_t available_;
    size_t position_ = 0;
};

struct Prefixes {
    bool operandSize = false; // 66
    bool rexW = false;        // REX with W set (x86_64 only)
};

enum class Operands {
    None,      // opcode alone
    ModRm,     // ModRM and its address bytes
    ModRmImm8, // ModRM, then an 8-bit immediate
    ModRmImmZ, // ModRM, then a 16- or 32-bit immediate
    Imm8,      // an 8-bit immediate
    ImmZ,      // a 16- or 32-bit immediate
    ImmV,      // a 16-, 32- or 64-bit immediate (mov reg, imm)
    Refused,   // the verdict says why
};

struct OpcodeForm {
    Operands operands = Operands::Refused;
    DecodeVerdict refusal = DecodeVerdict::Unknown;
    bool registerOperandOnlyInMemory = false; // lea: a register in the r/m field is not an encoding
    int allowedRegFieldMask = 0xff;           // the ModRM reg values (/0../7) the form accepts
};

OpcodeForm Refuse(DecodeVerdict why) {
    OpcodeForm form;
    form.refusal = why;
    return form;
}

OpcodeForm Form(Operands operands, int allowedRegFieldMask = 0xff) {
    OpcodeForm form;
    form.operands = operands;
    form.allowedRegFieldMask = allowedRegFieldMask;
    return form;
}

bool IsControlTransfer(uint8_t op) {
    return (op >= 0x70 && op <= 0x7f) || (op >= 0xe0 && op <= 0xe3) || op == 0xe8 || op == 0xe9 ||
           op == 0xeb || op == 0xc2 || op == 0xc3 || op == 0xca || op == 0xcb || op == 0xcf || op == 0x9a ||
           op == 0xea;
}

// The eight classic arithmetic opcodes (add, or, adc, sbb, and, sub, xor, cmp) each come in the same
// six encodings, at 0x00, 0x08 ... 0x38.
OpcodeForm ArithmeticForm(uint8_t op) {
    switch (op & 7) {
    case 0:
    case 1:
    case 2:
    case 3:
        return Form(Operands::ModRm);
    case 4:
        return Form(Operands::Imm8);
    case 5:
        return Form(Operands::ImmZ);
    default:
        return Refuse(DecodeVerdict::Unknown); // segment pushes and BCD adjustments
    }
}

OpcodeForm FormOf(uint8_t op, CodeArchitecture architecture) {
    if (IsControlTransfer(op))
        return Refuse(DecodeVerdict::ControlTransfer);
    if (op < 0x40)
        return ArithmeticForm(op);
    if (op >= 0x40 && op <= 0x4f) // inc/dec reg; on x86_64 these are REX prefixes, taken before
        return architecture == CodeArchitecture::X86 ? Form(Operands::None) : Refuse(DecodeVerdict::Unknown);
    if (op >= 0x50 && op <= 0x5f) // push/pop reg
        return Form(Operands::None);
    if (op >= 0xb0 && op <= 0xb7) // mov reg8, imm8
        return Form(Operands::Imm8);
    if (op >= 0xb8 && op <= 0xbf) // mov reg, imm
        return Form(Operands::ImmV);
    constexpr int kSlash0 = 1 << 0;
    constexpr int kSlash0And1 = (1 << 0) | (1 << 1);
    switch (op) {
    case 0x68: // push imm
        return Form(Operands::ImmZ);
    case 0x6a: // push imm8
        return Form(Operands::Imm8);
    case 0x80: // arithmetic r/m8, imm8
    case 0x83: // arithmetic r/m, imm8
        return Form(Operands::ModRmImm8);
    case 0x81: // arithmetic r/m, imm
        return Form(Operands::ModRmImmZ);
    case 0x84: // test
    case 0x85:
    case 0x88: // mov
    case 0x89:
    case 0x8a:
    case 0x8b:
        return Form(Operands::ModRm);
    case 0x8d: { // lea
        OpcodeForm form = Form(Operands::ModRm);
        form.registerOperandOnlyInMemory = true;
        return form;
    }
    case 0x90: // nop
        return Form(Operands::None);
    case 0xa8: // test al, imm8
        return Form(Operands::Imm8);
    case 0xa9: // test eax, imm
        return Form(Operands::ImmZ);
    case 0xc6: // mov r/m8, imm8
        return Form(Operands::ModRmImm8, kSlash0);
    case 0xc7: // mov r/m, imm
        return Form(Operands::ModRmImmZ, kSlash0);
    case 0xf6: // test r/m8, imm8
        return Form(Operands::ModRmImm8, kSlash0);
    case 0xf7: // test r/m, imm
        return Form(Operands::ModRmImmZ, kSlash0);
    case 0xff: // inc, dec, push r/m; the calls and jumps are told apart by the reg field below
        return Form(Operands::ModRm, kSlash0And1 | (1 << 6));
    default:
        return Refuse(DecodeVerdict::Unknown);
    }
}

bool ReadPrefixes(ByteCursor& cursor, CodeArchitecture architecture, Prefixes& prefixes, uint8_t& opcode) {
    if (!cursor.Next(opcode))
        return false;
    if (opcode == 0x66) {
        prefixes.operandSize = true;
        if (!cursor.Next(opcode))
            return false;
    }
    if (architecture == CodeArchitecture::X64 && (opcode & 0xf0) == 0x40) {
        prefixes.rexW = (opcode & 0x08) != 0;
        if (!cursor.Next(opcode))
            return false;
    }
    return true;
}

size_t ImmediateZ(const Prefixes& prefixes) {
    return prefixes.rexW ? 4 : (prefixes.operandSize ? 2 : 4);
}

size_t ImmediateV(const Prefixes& prefixes) {
    return prefixes.rexW ? 8 : (prefixes.operandSize ? 2 : 4);
}

// The SIB byte and displacement a ModRM byte calls for. Returns Relocatable, or why not.
DecodeVerdict SkipAddress(ByteCursor& cursor, uint8_t modRm, CodeArchitecture architecture) {
    const int mod = modRm >> 6;
    const int rm = modRm & 7;
    if (mod == 3)
        return DecodeVerdict::Relocatable;
    size_t displacement = mod == 1 ? 1 : (mod == 2 ? 4 : 0);
    if (rm == 4) {
        uint8_t sib = 0;
        if (!cursor.Next(sib))
            return DecodeVerdict::Truncated;
        if (mod == 0 && (sib & 7) == 5) // no base: an absolute disp32, also on x86_64
            displacement = 4;
    } else if (mod == 0 && rm == 5) {
        if (architecture == CodeArchitecture::X64)
            return DecodeVerdict::RipRelative;
        displacement = 4; // x86: an absolute address, the same wherever the instruction runs
    }
    return cursor.Skip(displacement) ? DecodeVerdict::Relocatable : DecodeVerdict::Truncated;
}

DecodeVerdict SkipOperands(ByteCursor& cursor, uint8_t opcode, const OpcodeForm& form,
                           const Prefixes& prefixes, CodeArchitecture architecture) {
    size_t immediate = 0;
    switch (form.operands) {
    case Operands::None:
        return DecodeVerdict::Relocatable;
    case Operands::Imm8:
        return cursor.Skip(1) ? DecodeVerdict::Relocatable : DecodeVerdict::Truncated;
    case Operands::ImmZ:
        return cursor.Skip(ImmediateZ(prefixes)) ? DecodeVerdict::Relocatable : DecodeVerdict::Truncated;
    case Operands::ImmV:
        return cursor.Skip(ImmediateV(prefixes)) ? DecodeVerdict::Relocatable : DecodeVerdict::Truncated;
    case Operands::ModRm:
        break;
    case Operands::ModRmImm8:
        immediate = 1;
        break;
    case Operands::ModRmImmZ:
        immediate = ImmediateZ(prefixes);
        break;
    case Operands::Refused:
        return form.refusal;
    }
    uint8_t modRm = 0;
    if (!cursor.Next(modRm))
        return DecodeVerdict::Truncated;
    const int reg = (modRm >> 3) & 7;
    if ((form.allowedRegFieldMask & (1 << reg)) == 0)
        return opcode == 0xff && reg >= 2 && reg <= 5 ? DecodeVerdict::ControlTransfer
                                                      : DecodeVerdict::Unknown;
    if (form.registerOperandOnlyInMemory && (modRm >> 6) == 3)
        return DecodeVerdict::Unknown;
    const DecodeVerdict address = SkipAddress(cursor, modRm, architecture);
    if (address != DecodeVerdict::Relocatable)
        return address;
    return cursor.Skip(immediate) ? DecodeVerdict::Relocatable : DecodeVerdict::Truncated;
}

} // namespace

DecodedInstruction DecodeInstruction(const uint8_t* code, size_t available, CodeArchitecture architecture) {
    DecodedInstruction decoded;
    if (code == nullptr || available == 0) {
        decoded.verdict = DecodeVerdict::Truncated;
        return decoded;
    }
    ByteCursor cursor(code, available);
    Prefixes prefixes;
    uint8_t opcode = 0;
    if (!ReadPrefixes(cursor, architecture, prefixes, opcode)) {
        decoded.verdict = DecodeVerdict::Truncated;
        return decoded;
    }
    if (opcode == 0x0f) {
        uint8_t second = 0;
        const bool known = cursor.Peek(second);
        decoded.verdict =
            known && (second & 0xf0) == 0x80 ? DecodeVerdict::ControlTransfer : DecodeVerdict::Unknown;
        return decoded;
    }
    decoded.verdict = SkipOperands(cursor, opcode, FormOf(opcode, architecture), prefixes, architecture);
    // Running into the 15-byte limit rather than the end of the caller's bytes means no valid encoding.
    if (decoded.verdict == DecodeVerdict::Truncated && available >= kMaxInstructionLength)
        decoded.verdict = DecodeVerdict::Unknown;
    if (decoded.verdict == DecodeVerdict::Relocatable)
        decoded.length = cursor.position();
    return decoded;
}

RelocationSpan RelocatableSpan(const uint8_t* code, size_t available, size_t atLeast,
                               CodeArchitecture architecture) {
    RelocationSpan span;
    size_t covered = 0;
    while (covered < atLeast) {
        const DecodedInstruction next = DecodeInstruction(code + covered, available - covered, architecture);
        if (next.verdict != DecodeVerdict::Relocatable) {
            span.verdict = next.verdict;
            span.refusedAt = covered;
            return span;
        }
        covered += next.length;
        ++span.instructions;
    }
    span.verdict = DecodeVerdict::Relocatable;
    span.length = covered;
    return span;
}

const char* DescribeDecodeVerdict(DecodeVerdict verdict) {
    switch (verdict) {
    case DecodeVerdict::Relocatable:
        return "relocatable";
    case DecodeVerdict::Unknown:
        return "an instruction form the decoder does not know";
    case DecodeVerdict::ControlTransfer:
        return "a jump, call or return, which would go elsewhere once moved";
    case DecodeVerdict::RipRelative:
        return "an operand addressed relative to the instruction pointer";
    case DecodeVerdict::Truncated:
        return "the bytes end inside an instruction";
    }
    return "an unnamed verdict";
}

} // namespace capture
