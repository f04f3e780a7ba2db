#pragma once
// The loop every fuzz target shares: a fixed seed, a case count from the command line (100,000 by
// default), and the failing case's index and seed printed so that it can be replayed.
#include <cstdio>
#include <cstdlib>
#include <random>

constexpr unsigned kFuzzSeed = 15;

template <typename CheckOneCase>
int RunFuzzCases(const char* target, int argc, char** argv, CheckOneCase checkOneCase) {
    const long cases = argc > 1 ? std::atol(argv[1]) : 100000;
    std::mt19937 random(kFuzzSeed);
    for (long i = 0; i < cases; ++i) {
        if (!checkOneCase(random)) {
            std::printf("%s: case %ld failed (seed %u)\n", target, i, kFuzzSeed);
            return 1;
        }
    }
    std::printf("%s: %ld cases passed\n", target, cases);
    return 0;
}
