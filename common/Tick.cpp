#include "common/Tick.h"

#include "common/LaterWindows.h"

ULONGLONG TickExtender::Now() noexcept {
    ULONGLONG last = last_.load(std::memory_order_acquire);
    for (;;) {
        const DWORD low = source_ != nullptr ? source_() : ::GetTickCount();
        ULONGLONG next = (last & ~ULONGLONG(0xFFFFFFFF)) | low;
        if (low < static_cast<DWORD>(last))
            next += ULONGLONG(1) << 32;
        // A failed exchange reloads `last`; the source is then read again, after it.
        if (last_.compare_exchange_weak(last, next, std::memory_order_acq_rel, std::memory_order_acquire))
            return next;
    }
}

namespace {

using TickCount64Function = ULONGLONG(WINAPI*)();

// Plain constant-initialised data rather than function-local statics: the threading runtime's own
// waits come here (below), and the guard of a local static may itself wait in that runtime. Two
// threads that resolve at once store the same answer.
std::atomic<TickCount64Function> g_native{nullptr};
std::atomic<bool> g_resolved{false};
TickExtender g_extended;

TickCount64Function NativeTickCount64() noexcept {
    if (!g_resolved.load(std::memory_order_acquire)) {
        g_native.store(Kernel32Function<TickCount64Function>("GetTickCount64"), std::memory_order_relaxed);
        g_resolved.store(true, std::memory_order_release);
    }
    return g_native.load(std::memory_order_relaxed);
}

ULONGLONG WINAPI TickCount64ForImport() {
    return TickCount64();
}

} // namespace

ULONGLONG TickCount64() noexcept {
    if (const TickCount64Function native = NativeTickCount64())
        return native();
    return g_extended.Now();
}

// The static winpthreads of MinGW-w64 calls GetTickCount64 through its import (in its timed waits),
// and an image with that import does not load on Windows XP or Server 2003. This object defines the
// import's pointer itself, so the linker takes it instead of kernel32's entry and the image imports
// nothing newer; calls through it reach TickCount64, which uses kernel32's routine where there is one.
#if defined(_WIN64)
#define ORVANE_TICK_IMPORT "__imp_GetTickCount64"
#else
#define ORVANE_TICK_IMPORT "__imp__GetTickCount64@0"
#endif
extern "C" {
extern TickCount64Function const orvaneTickCount64Import __asm__(ORVANE_TICK_IMPORT);
TickCount64Function const orvaneTickCount64Import __asm__(ORVANE_TICK_IMPORT) = &TickCount64ForImport;
}
