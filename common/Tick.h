// A millisecond tick that does not wrap around, for deadlines and elapsed times. Any thread.
//
// GetTickCount64 where kernel32 has it (Vista on); elsewhere GetTickCount's 32 bits, extended by the
// wrap-arounds (every 49.7 days) seen since the first reading. A wrap is told by a reading lower than
// the last one taken, so the extension is right as long as the process reads the tick at least once
// in 49.7 days; the waits that use it read it every few seconds at most.
//
// Tick.cpp is built into every image (orvane_defaults), since it also stands in for kernel32's
// GetTickCount64 in the import the threading runtime makes (see there).
#pragma once

#include "common/Win32.h"

#include <atomic>

ULONGLONG TickCount64() noexcept;

// The extension over a 32-bit source (GetTickCount when none is given), kept apart so that a test
// can drive it across the wrap. Constant-initialised, so that a static one works before any
// constructor has run. Thread-safe: the last extended value is one 64-bit atomic; each reading is
// taken after that value was loaded and published only if no other thread moved it meanwhile, so a
// reading older than the published one is never mistaken for a wrap.
class TickExtender {
public:
    using Source = DWORD(WINAPI*)();

    constexpr explicit TickExtender(Source source = nullptr) noexcept : source_(source) {}
    TickExtender(const TickExtender&) = delete;
    TickExtender& operator=(const TickExtender&) = delete;

    ULONGLONG Now() noexcept;

private:
    Source source_;
    std::atomic<ULONGLONG> last_{0};
};
