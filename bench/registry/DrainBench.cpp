// Draining the driver's log: 200,000 appended lines brought into the monitor's raw lines by PullLog
// (called directly, not through timer ticks), beside a bare loop of IOCTL_READ_LOG calls that reads
// the same log, filled the same way, without keeping anything.
#include "registry/RegistryMonitor.h"

#include "bench/registry/BenchTiming.h"
#include "common/UniqueHandle.h"

#include <process.h>

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

} // namespace

int main() {
    CRegistryMonitor monitor;
    if (!monitor.HasDriver()) {
        std::printf("no REGMON driver: copy REGSYS.SYS into system32\\drivers (scripts/bench.sh does)\n");
        return 1;
    }
    monitor.Start(0, "");
    int appended = 0;
    const double firstFill = SecondsFor([&] { appended = FillLog(); });
    int pulls = 0;
    const double pullTime = SecondsFor([&] {
        while (monitor.RawLines().size() < size_t(appended)) {
            const size_t before = monitor.RawLines().size();
            monitor.PullLog();
            ++pulls;
            if (monitor.RawLines().size() == before)
                break;
        }
    });
    const size_t pulled = monitor.RawLines().size();

    monitor.Start(0, ""); // empties the driver's log and the raw lines
    int appendedAgain = 0;
    const double secondFill = SecondsFor([&] { appendedAgain = FillLog(); });
    UniqueFile device = OpenDevice();
    std::vector<char> block(REGMON_READ_SIZE);
    size_t bytes = 0;
    int reads = 0;
    const double bareTime = SecondsFor([&] {
        DWORD read = 0;
        while (::DeviceIoControl(device.get(), IOCTL_READ_LOG, nullptr, 0, block.data(), REGMON_READ_SIZE,
                                 &read, nullptr) &&
               read != 0) {
            bytes += read;
            ++reads;
        }
    });
    monitor.Stop();

    const double pullRate = double(pulled) / pullTime;
    const double bareRate = double(appendedAgain) / bareTime;
    std::printf("drain: %d lines appended (fills took %.1fs and %.1fs)\n", appended, firstFill, secondFill);
    std::printf("  PullLog into raw lines : %10.0f lines/s  (%zu lines, %d calls, %.3fs)\n", pullRate, pulled,
                pulls, pullTime);
    std::printf("  bare IOCTL_READ_LOG    : %10.0f lines/s  (%zu bytes, %d reads, %.3fs)\n", bareRate, bytes,
                reads, bareTime);
    std::printf("  ratio                  : %10.2f  (target >= 0.8)\n", pullRate / bareRate);
    return pulled == size_t(appended) ? 0 : 1;
}
