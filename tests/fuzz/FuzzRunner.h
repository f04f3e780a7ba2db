#pragma once
// The loop every fuzz target shares: a fixed seed, a case count from the command line (100,000 by
// default), and the failing case's index and seed printed so that it can be replayed, also when a
// sanitizer ends the run. Built with ORVANE_LIBFUZZER, the same checks take libFuzzer's inputs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <sanitizer/common_interface_defs.h>

constexpr unsigned kFuzzSeed = 15;

namespace fuzz_runner {

inline const char* currentTarget = "";
inline long currentCase = -1;

inline void PrintCurrentCase() {
    if (currentCase >= 0)
        std::printf("%s: case %ld failed (seed %u); replay: build/fuzz/%s %ld\n", currentTarget, currentCase,
                    kFuzzSeed, currentTarget, currentCase + 1);
    std::fflush(stdout);
}

} // namespace fuzz_runner

template <typename CheckOneCase>
int RunFuzzCases(const char* target, int argc, char** argv, CheckOneCase checkOneCase) {
    const long cases = argc > 1 ? std::atol(argv[1]) : 100000;
    std::mt19937 random(kFuzzSeed);
    fuzz_runner::currentTarget = target;
    __sanitizer_set_death_callback(fuzz_runner::PrintCurrentCase);
    for (long i = 0; i < cases; ++i) {
        fuzz_runner::currentCase = i;
        if (!checkOneCase(random)) {
            fuzz_runner::PrintCurrentCase();
            return 1;
        }
    }
    fuzz_runner::currentCase = -1;
    std::printf("%s: %ld cases passed\n", target, cases);
    return 0;
}

// One libFuzzer input as the seed of a case: the generators stay the targets' own, and libFuzzer
// steers them through the bytes it keeps.
template <typename CheckOneCase>
void RunFuzzInput(const uint8_t* data, size_t size, CheckOneCase checkOneCase) {
    std::seed_seq seeds(data, data + size);
    std::mt19937 random(seeds);
    if (!checkOneCase(random))
        std::abort();
}

#if defined(ORVANE_LIBFUZZER)
#define FUZZ_ENTRY(target, check)                                                                            \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {                                \
        RunFuzzInput(data, size, check);                                                                     \
        return 0;                                                                                            \
    }
#else
#define FUZZ_ENTRY(target, check)                                                                            \
    int main(int argc, char** argv) {                                                                        \
        return RunFuzzCases(target, argc, argv, check);                                                      \
    }
#endif
