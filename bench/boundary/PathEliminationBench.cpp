// IsEliminatePath on 10,000 existing files, beside a bare loop of the same system calls (one
// attribute query, one open and close per path). Rounds alternate so both see the same caches.
#include "bench/BenchTiming.h"
#include "include/IOrvaneInc.h"

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 10000;
constexpr int kRounds = 5;

bool BareCalls(const std::string& path) {
    if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file.valid();
}

} // namespace

int main() {
    test_support::TempDir dir("bench-paths");
    const std::string folder = dir.path() + "\\App";
    ::CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; ++i) {
        paths.push_back(folder + "\\file" + std::to_string(i) + ".dll");
        test_support::WriteTextFile(paths.back(), "x");
    }
    IOrvaneInc* object = IOrvaneInc::CreateOrvane(IOrvaneInc::OV_EMPTY);
    if (object == nullptr)
        return 1;

    double bestLibrary = 1e9, bestBare = 1e9;
    int kept = 0, bareKept = 0;
    for (int round = 0; round < kRounds; ++round) {
        kept = 0;
        bestLibrary = std::min(bestLibrary, SecondsFor([&] {
                                   for (const auto& p : paths)
                                       kept += object->IsEliminatePath(p) ? 0 : 1;
                               }));
        bareKept = 0;
        bestBare = std::min(bestBare, SecondsFor([&] {
                                for (const auto& p : paths)
                                    bareKept += BareCalls(p) ? 0 : 1;
                            }));
    }
    IOrvaneInc::DestroyOrvane(&object);

    const double libraryRate = kFiles / bestLibrary;
    const double bareRate = kFiles / bestBare;
    std::printf("IsEliminatePath on %d existing files (best of %d rounds)\n", kFiles, kRounds);
    std::printf("  IsEliminatePath : %10.0f paths/s  (%d kept)\n", libraryRate, kept);
    std::printf("  bare system calls: %10.0f paths/s  (%d kept)\n", bareRate, bareKept);
    std::printf("  ratio            : %10.3f  (target >= 0.9)\n", libraryRate / bareRate);
    return 0;
}
