// Random driver-log blocks through the framing walk, natively under the sanitizers: byte counts up
// to and past the buffer, and every line must lie inside the block with a NUL behind it.
#include "registry/LogFraming.h"
#include "tests/fuzz/FuzzRunner.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace {

[[maybe_unused]] bool CheckOneBlock(std::mt19937& random) {
    const size_t capacity = 1 + random() % 4096;
    std::unique_ptr<char[]> block(new char[capacity]); // exact size: ASan catches any over-read
    for (size_t i = 0; i < capacity; ++i)
        block[i] = static_cast<char>(random() % 4 == 0 ? 0 : random());
    const size_t reported = random() % (capacity * 2 + 8);
    RawLineList lines;
    const size_t walked = AppendLogRecords(block.get(), reported, capacity, lines);
    if (walked != lines.size())
        return false;
    size_t total = 0;
    for (std::string_view line : lines)
        total += REGMON_RECORD_SIZE(line.size());
    const size_t limit = reported < capacity ? reported : capacity;
    return walked == 0 || total <= limit + 3;
}

} // namespace

#if defined(ORVANE_LIBFUZZER)
// The input is the block; its first two bytes also give the byte count the driver reports.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::unique_ptr<char[]> block(new char[size]);
    std::memcpy(block.get(), data, size);
    const size_t reported = size >= 2 ? (size_t(data[0]) | size_t(data[1]) << 8) : size;
    RawLineList lines;
    AppendLogRecords(block.get(), reported, size, lines);
    return 0;
}
#else
FUZZ_ENTRY("framing", CheckOneBlock)
#endif
