// 1,000,000 notifications pushed from one thread through a deferred-delivery wrapper to a handler on
// a window's thread, beside a bare loop that posts and dispatches as many plain window messages the
// same way. Both keep at most kInFlight messages queued (Windows refuses posts beyond 10,000 per
// queue), so the figures compare the per-message cost rather than the queue's growth. The two run
// in alternating rounds, so that both see the same load of a shared machine.
#include "tests/support/watcher/RecordingHandler.h"
#include "watcher/DelayedDirectoryChangeHandler.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr size_t kInFlight = 1000;
constexpr size_t kRounds = 10;
constexpr UINT kBareMessage = WM_APP + 1;

LONGLONG Now() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double TicksPerMicrosecond() {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(frequency.QuadPart) / 1e6;
}

// Committed private memory, summed over the address space: the process's private bytes. (Wine
// reports no PrivateUsage in its memory counters, so they are not used.)
SIZE_T PrivateBytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (BYTE* address = nullptr; ::VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
    }
    return total;
}

// One round's post times; each delivery turns its post time into a latency.
struct Round {
    std::vector<LONGLONG> posted;
    LONGLONG* latencies = nullptr;
    std::atomic<size_t> delivered{0};

    void Arrived() {
        const size_t index = delivered.load(std::memory_order_relaxed);
        latencies[index] = Now() - posted[index];
        delivered.store(index + 1, std::memory_order_release);
    }
    void WaitForRoom(size_t index) const {
        while (index - delivered.load(std::memory_order_acquire) >= kInFlight)
            ::SwitchToThread();
    }
};

Round* gRound = nullptr;

LRESULT CALLBACK BareWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kBareMessage) {
        gRound->Arrived();
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

// Posts `count` messages from a new thread while this thread dispatches; answers the ticks taken.
template <typename PostOne>
LONGLONG RunRound(size_t count, LONGLONG* latencies, PostOne postOne) {
    Round round;
    round.posted.resize(count);
    round.latencies = latencies;
    gRound = &round;
    const LONGLONG start = Now();
    std::thread poster([&] {
        for (size_t i = 0; i < count; ++i) {
            round.WaitForRoom(i);
            round.posted[i] = Now();
            postOne(i);
        }
    });
    MSG msg;
    while (round.delivered.load(std::memory_order_acquire) < count &&
           ::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    const LONGLONG end = Now();
    poster.join();
    gRound = nullptr;
    return end - start;
}

struct Method {
    const char* name;
    std::vector<LONGLONG> latencies;
    LONGLONG ticks = 0;
};

void Print(Method& method, size_t count) {
    const double perUs = TicksPerMicrosecond();
    auto& sorted = method.latencies;
    std::nth_element(sorted.begin(), sorted.begin() + count / 2, sorted.end());
    const double median = double(sorted[count / 2]) / perUs;
    std::nth_element(sorted.begin(), sorted.begin() + count * 99 / 100, sorted.end());
    const double p99 = double(sorted[count * 99 / 100]) / perUs;
    const double rate = double(count) / (double(method.ticks) / (perUs * 1e6));
    std::printf("  %-22s: %10.0f /s   latency median %8.1f us   p99 %8.1f us\n", method.name, rate, median,
                p99);
}

} // namespace

int main(int argc, char** argv) {
    // An optional count, for quick looks; the figures quoted are those of the default.
    const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const size_t perRound = std::max<size_t>(count / kRounds, 1);
    const size_t total = perRound * kRounds;

    WNDCLASSA bareClass{};
    bareClass.lpfnWndProc = BareWindowProc;
    bareClass.hInstance = ::GetModuleHandleA(nullptr);
    bareClass.lpszClassName = "BenchBareWindow";
    ::RegisterClassA(&bareClass);
    const HWND bareWindow = ::CreateWindowExA(0, "BenchBareWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                              ::GetModuleHandleA(nullptr), nullptr);
    if (bareWindow == nullptr) {
        std::printf("no window could be created\n");
        return 1;
    }
    // The kit's handler, keeping nothing, so that the handler's own cost stays a function call.
    auto* handler = new test_support::RecordingHandler();
    handler->StopKeeping();
    handler->afterCall = [](const std::string&) { gRound->Arrived(); };
    auto* wrapper = new CDelayedDirectoryChangeHandler(handler, true, nullptr, nullptr, NF_MATCH_FILE_NAME);
    const std::string path = "C:\\Program Files\\Vendor\\Product\\bin\\component.dll";
    const auto postBare = [&](size_t i) { ::PostMessageA(bareWindow, kBareMessage, WPARAM(i), 0); };
    const auto postWrapped = [&](size_t) { wrapper->On_FileAdded(path); };

    Method bare{"bare post + dispatch", std::vector<LONGLONG>(total)};
    Method wrapped{"wrapper -> handler", std::vector<LONGLONG>(total)};
    std::vector<LONGLONG> warmUp(kInFlight * 4);
    RunRound(warmUp.size(), warmUp.data(), postBare);
    RunRound(warmUp.size(), warmUp.data(), postWrapped);

    const SIZE_T before = PrivateBytes();
    for (size_t round = 0; round < kRounds; ++round) {
        LONGLONG* bareSlice = bare.latencies.data() + round * perRound;
        LONGLONG* wrappedSlice = wrapped.latencies.data() + round * perRound;
        if (round % 2 == 0) {
            bare.ticks += RunRound(perRound, bareSlice, postBare);
            wrapped.ticks += RunRound(perRound, wrappedSlice, postWrapped);
        } else {
            wrapped.ticks += RunRound(perRound, wrappedSlice, postWrapped);
            bare.ticks += RunRound(perRound, bareSlice, postBare);
        }
    }
    const SIZE_T after = PrivateBytes();

    wrapper->DetachRealHandler();
    wrapper->Release();
    handler->Release();
    ::DestroyWindow(bareWindow);

    std::printf(
        "%zu notifications from one thread to a handler on a window's thread, %zu rounds, at most %zu in "
        "flight\n",
        total, kRounds, kInFlight);
    Print(wrapped, total);
    Print(bare, total);
    std::printf("  %-22s: %10.3f  (target >= 0.5)\n", "rate ratio",
                double(bare.ticks) / double(wrapped.ticks));
    std::printf("  %-22s: %zu KiB before, %zu KiB after (%+lld KiB)\n", "private bytes",
                size_t(before / 1024), size_t(after / 1024),
                (long long)(after / 1024) - (long long)(before / 1024));
    return 0;
}
