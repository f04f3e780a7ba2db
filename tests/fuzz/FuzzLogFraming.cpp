// Random driver-log blocks through the framing walk, natively under the sanitizers: byte counts up
// to and past the buffer, and every line must lie inside the block with a NUL behind it.
#include "registry/LogFraming.h"
#include "tests/fuzz/FuzzRunner.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace {

bool CheckOneBlock(std::mt19937& random) {
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

int main(int argc, char** argv) {
    return RunFuzzCases("framing", argc, argv, CheckOneBlock);
}
