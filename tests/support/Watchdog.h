// A deadline for one test scenario. A scenario that hangs would stall the whole test program until
// CTest's timeout, and tell nothing about where; the watchdog ends the process at once instead, with
// the scenario's name, so that the hang is reported as that test's failure.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstdio>
#include <string>

namespace test_support {

class Watchdog {
public:
    explicit Watchdog(std::string what, DWORD timeoutMs = 30000)
        : what_(std::move(what)), timeoutMs_(timeoutMs), done_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          thread_(::CreateThread(nullptr, 0, &Watch, this, 0, nullptr)) {}
    ~Watchdog() {
        ::SetEvent(done_.get());
        ::WaitForSingleObject(thread_.get(), INFINITE);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Watch(void* parameter) {
        auto* self = static_cast<Watchdog*>(parameter);
        if (::WaitForSingleObject(self->done_.get(), self->timeoutMs_) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "\nWATCHDOG: '%s' did not finish within %lu ms: it hangs\n",
                         self->what_.c_str(), static_cast<unsigned long>(self->timeoutMs_));
            std::fflush(stderr);
            ::TerminateProcess(::GetCurrentProcess(), 86);
        }
        return 0;
    }

    std::string what_;
    DWORD timeoutMs_;
    UniqueHandle done_;
    UniqueHandle thread_;
};

} // namespace test_support
