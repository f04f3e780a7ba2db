// The prologue decoder over random bytes and over known prologues mutated and cut short, both
// architectures. Each input sits in a heap block of exactly its size, so that a read past it is an
// AddressSanitizer report. Checked: lengths within the bytes given and the 15-byte limit; a length that
// does not change when more bytes follow or when the bytes are cut to it, and becomes Truncated when
// they are cut shorter; a span made of whole decoded instructions; and a table of known encodings.
#include "capture/InstructionLength.h"
#include "tests/fuzz/FuzzRunner.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using capture::CodeArchitecture;
using capture::DecodeVerdict;
using Bytes = std::vector<uint8_t>;

struct KnownEncoding {
    CodeArchitecture architecture;
    Bytes code;
    DecodeVerdict verdict;
    size_t length;
};

constexpr CodeArchitecture kX86 = CodeArchitecture::X86;
constexpr CodeArchitecture kX64 = CodeArchitecture::X64;

const std::vector<KnownEncoding>& KnownEncodings() {
    static const std::vector<KnownEncoding> known = {
        {kX86, {0xb8, 0x5b, 0x00, 0x00, 0x00}, DecodeVerdict::Relocatable, 5},
        {kX86, {0xba, 0x00, 0x03, 0xfe, 0x7f}, DecodeVerdict::Relocatable, 5},
        {kX86, {0x8b, 0xff}, DecodeVerdict::Relocatable, 2},
        {kX86, {0x55}, DecodeVerdict::Relocatable, 1},
        {kX86, {0x83, 0xec, 0x20}, DecodeVerdict::Relocatable, 3},
        {kX86, {0x8b, 0x05, 1, 2, 3, 4}, DecodeVerdict::Relocatable, 6},
        {kX86, {0xff, 0x74, 0x24, 0x08}, DecodeVerdict::Relocatable, 4},
        {kX86, {0x81, 0x84, 0x24, 1, 2, 3, 4, 5, 6, 7, 8}, DecodeVerdict::Relocatable, 11},
        {kX86, {0xff, 0xd2}, DecodeVerdict::ControlTransfer, 0},
        {kX86, {0xc2, 0x18, 0x00}, DecodeVerdict::ControlTransfer, 0},
        {kX64, {0x4c, 0x8b, 0xd1}, DecodeVerdict::Relocatable, 3},
        {kX64, {0xf6, 0x04, 0x25, 0x08, 0x03, 0xfe, 0x7f, 0x01}, DecodeVerdict::Relocatable, 8},
        {kX64, {0x48, 0xb8, 1, 2, 3, 4, 5, 6, 7, 8}, DecodeVerdict::Relocatable, 10},
        {kX64, {0x66, 0x48, 0x81, 0x84, 0x24, 1, 2, 3, 4, 5, 6, 7, 8}, DecodeVerdict::Relocatable, 13},
        {kX64, {0x48, 0x89, 0x5c, 0x24, 0x08}, DecodeVerdict::Relocatable, 5},
        {kX64, {0x48, 0x8b, 0x05, 1, 2, 3, 4}, DecodeVerdict::RipRelative, 0},
        {kX64, {0x0f, 0x05}, DecodeVerdict::Unknown, 0},
        {kX64, {0x75, 0x03}, DecodeVerdict::ControlTransfer, 0},
        {kX64, {0x48}, DecodeVerdict::Truncated, 0},
    };
    return known;
}

const std::vector<Bytes>& KnownPrologues() {
    static const std::vector<Bytes> prologues = {
        {0xb8, 0x5b, 0x00, 0x00, 0x00, 0xba, 0x30, 0x12, 0x30, 0x7b, 0xff, 0xd2, 0xc2, 0x18, 0x00},
        {0xb8, 0xf7, 0x00, 0x00, 0x00, 0xba, 0x00, 0x03, 0xfe, 0x7f, 0xff, 0x12, 0xc2, 0x18, 0x00},
        {0xb8, 0x5d, 0x00, 0x00, 0x00, 0xe8, 0x03, 0x00, 0x00, 0x00, 0xc2, 0x18, 0x00},
        {0x4c, 0x8b, 0xd1, 0xb8, 0x60, 0x00, 0x00, 0x00, 0xf6, 0x04, 0x25, 0x08, 0x03, 0xfe, 0x7f, 0x01, 0x75,
         0x03},
        {0x4c, 0x8b, 0xd1, 0xb8, 0x5d, 0x00, 0x00, 0x00, 0x0f, 0x05, 0xc3},
        {0x8b, 0xff, 0x55, 0x8b, 0xec, 0x83, 0xec, 0x20},
        {0x48, 0x89, 0x5c, 0x24, 0x08, 0x57, 0x48, 0x83, 0xec, 0x20},
    };
    return prologues;
}

// A copy of the bytes in a heap block of exactly their size.
class ExactBuffer {
public:
    explicit ExactBuffer(const Bytes& bytes, size_t size) : size_(size), data_(new uint8_t[size]) {
        if (size > 0)
            std::memcpy(data_.get(), bytes.data(), size);
    }
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

capture::DecodedInstruction DecodeExactly(const Bytes& bytes, size_t size, CodeArchitecture architecture) {
    const ExactBuffer buffer(bytes, size);
    return capture::DecodeInstruction(buffer.data(), buffer.size(), architecture);
}

bool SameDecoding(const capture::DecodedInstruction& a, const capture::DecodedInstruction& b) {
    return a.verdict == b.verdict && a.length == b.length;
}

bool CheckInstruction(const Bytes& bytes, CodeArchitecture architecture) {
    const capture::DecodedInstruction whole = DecodeExactly(bytes, bytes.size(), architecture);
    if (whole.verdict != DecodeVerdict::Relocatable)
        return whole.length == 0;
    if (whole.length == 0 || whole.length > capture::kMaxInstructionLength || whole.length > bytes.size())
        return false;
    // The decoder reads exactly the instruction: cut to it, the answer stands; cut shorter, it is Truncated.
    if (!SameDecoding(whole, DecodeExactly(bytes, whole.length, architecture)))
        return false;
    return DecodeExactly(bytes, whole.length - 1, architecture).verdict == DecodeVerdict::Truncated;
}

bool CheckSpan(const Bytes& bytes, size_t atLeast, CodeArchitecture architecture) {
    const ExactBuffer buffer(bytes, bytes.size());
    const capture::RelocationSpan span =
        capture::RelocatableSpan(buffer.data(), buffer.size(), atLeast, architecture);
    if (span.verdict != DecodeVerdict::Relocatable)
        return span.length == 0 && span.refusedAt <= bytes.size() && span.refusedAt < atLeast;
    if (span.length < atLeast || span.length > bytes.size())
        return false;
    size_t covered = 0;
    for (size_t i = 0; i < span.instructions; ++i) {
        const capture::DecodedInstruction next =
            capture::DecodeInstruction(buffer.data() + covered, buffer.size() - covered, architecture);
        if (next.verdict != DecodeVerdict::Relocatable)
            return false;
        covered += next.length;
    }
    return covered == span.length;
}

bool CheckKnownEncodings(std::mt19937& random) {
    for (const KnownEncoding& known : KnownEncodings()) {
        Bytes code = known.code;
        const size_t trailing = random() % 8;
        for (size_t i = 0; i < trailing; ++i)
            code.push_back(uint8_t(random()));
        const capture::DecodedInstruction decoded = DecodeExactly(code, code.size(), known.architecture);
        // A Truncated entry stays so only with nothing after it.
        const bool truncatedByDesign = known.verdict == DecodeVerdict::Truncated && trailing > 0;
        if (!truncatedByDesign && (decoded.verdict != known.verdict || decoded.length != known.length))
            return false;
    }
    return true;
}

Bytes RandomBytes(std::mt19937& random) {
    Bytes bytes(random() % 21);
    for (uint8_t& byte : bytes)
        byte = uint8_t(random());
    return bytes;
}

Bytes MutatedPrologue(std::mt19937& random) {
    Bytes bytes = KnownPrologues()[random() % KnownPrologues().size()];
    const int flips = int(random() % 4);
    for (int i = 0; i < flips; ++i)
        bytes[random() % bytes.size()] = uint8_t(random());
    bytes.resize(random() % (bytes.size() + 1));
    return bytes;
}

bool CheckBytes(const Bytes& bytes, size_t atLeast, CodeArchitecture architecture) {
    return CheckInstruction(bytes, architecture) && CheckSpan(bytes, atLeast, architecture);
}

[[maybe_unused]] bool CheckOneCase(std::mt19937& random) {
    const Bytes bytes = random() % 2 ? RandomBytes(random) : MutatedPrologue(random);
    const size_t atLeast = 1 + random() % 8;
    for (CodeArchitecture architecture : {kX86, kX64}) {
        if (!CheckBytes(bytes, atLeast, architecture))
            return false;
    }
    return random() % 64 != 0 || CheckKnownEncodings(random);
}

} // namespace

#if defined(ORVANE_LIBFUZZER)
// The input's first byte picks how many bytes the span must cover; the rest are the code itself.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const Bytes bytes(data + 1, data + size);
    for (CodeArchitecture architecture : {kX86, kX64}) {
        if (!CheckBytes(bytes, 1 + data[0] % 8, architecture))
            std::abort();
    }
    return 0;
}
#else
FUZZ_ENTRY("instruction-length", CheckOneCase)
#endif
