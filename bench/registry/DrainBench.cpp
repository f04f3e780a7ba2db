// Draining the driver's log: 200,000 appended lines brought into the monitor's raw lines by PullLog
// (called directly, not through timer ticks), beside a bare loop of IOCTL_READ_LOG calls that reads
// the same log, filled the same way, without keeping anything.
#include "registry/RegistryMonitor.h"
#include "tests/registry/RegistryMonitorTestPeer.h"

#include "bench/BenchTiming.h"
#include "common/UniqueHandle.h"

#include <process.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kLines = 200000;
constexpr int kFillers = 2;

UniqueFile OpenDevice() {
    return UniqueFile(::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

struct Filler {
    int first = 0;
    int count = 0;
    int appended = 0;
};

unsigned __stdcall Fill(void* argument) {
    auto* filler = static_cast<Filler*>(argument);
    UniqueFile device = OpenDevice();
    char line[128];
    for (int i = filler->first; i < filler->first + filler->count; ++i) {
        const int length = std::snprintf(
            line, sizeof line, "setup.exe\tSetValue\tHKLM\\Software\\Vendor\\Key%03d\\Value%06d\tSUCCESS\td",
            i % 1000, i);
        DWORD returned = 0;
        if (::DeviceIoControl(device.get(), IOCTL_APPEND_LOG_LINE, line, DWORD(length), nullptr, 0, &returned,
                              nullptr))
            ++filler->appended;
    }
    return 0;
}

// Appends kLines lines from a few threads at once (appends are the slow part under Wine).
int FillLog() {
    Filler fillers[kFillers];
    std::vector<UniqueHandle> threads;
    for (int t = 0; t < kFillers; ++t) {
        fillers[t].first = t * (kLines / kFillers);
        fillers[t].count = kLines / kFillers;
        threads.emplace_back(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Fill, &fillers[t], 0, nullptr)));
    }
    int appended = 0;
    for (int t = 0; t < kFillers; ++t) {
        ::WaitForSingleObject(threads[t].get(), INFINITE);
        appended += fillers[t].appended;
    }
    return appended;
}

double TimePullLog(CRegistryMonitor& monitor, size_t expected, size_t& pulled, int& calls) {
    calls = 0;
    const double seconds = SecondsFor([&] {
        while (RegistryMonitorTestPeer::RawLines(monitor).size() < expected) {
            const size_t before = RegistryMonitorTestPeer::RawLines(monitor).size();
            RegistryMonitorTestPeer::PullLog(monitor);
            ++calls;
            if (RegistryMonitorTestPeer::RawLines(monitor).size() == before)
                break;
        }
    });
    pulled = RegistryMonitorTestPeer::RawLines(monitor).size();
    return seconds;
}

double TimeBareReads(size_t& bytes, int& reads) {
    UniqueFile device = OpenDevice();
    std::vector<char> block(REGMON_READ_SIZE);
    bytes = 0;
    reads = 0;
    return SecondsFor([&] {
        DWORD read = 0;
        while (::DeviceIoControl(device.get(), IOCTL_READ_LOG, nullptr, 0, block.data(), REGMON_READ_SIZE,
                                 &read, nullptr) &&
               read != 0) {
            bytes += read;
            ++reads;
        }
    });
}

constexpr int kRounds = 3;

} // namespace

// Rounds alternate the two readers, each on a freshly filled log; the best time of each counts.
int main() {
    CRegistryMonitor monitor;
    if (!monitor.HasDriver()) {
        std::printf("no REGMON driver: copy REGSYS.SYS into system32\\drivers (scripts/bench.sh does)\n");
        return 1;
    }
    double bestPull = 1e9, bestBare = 1e9;
    size_t pulled = 0, bytes = 0;
    int calls = 0, reads = 0, appended = 0;
    bool complete = true;
    for (int round = 0; round < kRounds; ++round) {
        monitor.Start(0, ""); // empties the driver's log and the raw lines
        appended = FillLog();
        bestPull = std::min(bestPull, TimePullLog(monitor, size_t(appended), pulled, calls));
        complete = complete && pulled == size_t(appended);
        monitor.Start(0, "");
        FillLog();
        bestBare = std::min(bestBare, TimeBareReads(bytes, reads));
    }
    monitor.Stop();

    const double pullRate = double(pulled) / bestPull;
    const double bareRate = double(appended) / bestBare;
    std::printf("drain: %d lines appended per fill; best of %d rounds\n", appended, kRounds);
    std::printf("  PullLog into raw lines : %10.0f lines/s  (%zu lines, %d calls, %.3fs)\n", pullRate, pulled,
                calls, bestPull);
    std::printf("  bare IOCTL_READ_LOG    : %10.0f lines/s  (%zu bytes, %d reads, %.3fs)\n", bareRate, bytes,
                reads, bestBare);
    std::printf("  ratio                  : %10.2f  (target >= 0.8)\n", pullRate / bareRate);
    return complete ? 0 : 1;
}
