// Marks a thread as inside the capture's own work, so that a hooked call the capture itself makes
// (the injector it starts, say) passes straight through instead of being captured again.
#pragma once

#include "common/Win32.h"

namespace capture {

class ReentryGuard {
public:
    // `slot` is a TLS index; TLS_OUT_OF_INDEXES makes every guard report re-entry, which turns the
    // capture off rather than letting it recurse.
    explicit ReentryGuard(DWORD slot) noexcept
        : slot_(slot), entered_(slot != TLS_OUT_OF_INDEXES && ::TlsGetValue(slot) == nullptr) {
        if (entered_)
            ::TlsSetValue(slot_, reinterpret_cast<void*>(1));
    }
    ~ReentryGuard() {
        if (entered_)
            ::TlsSetValue(slot_, nullptr);
    }
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;

    // False when the thread was already inside: the caller does nothing of its own.
    bool entered() const noexcept { return entered_; }

private:
    DWORD slot_;
    bool entered_;
};

} // namespace capture
