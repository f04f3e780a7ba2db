// A periodic timer that belongs to the thread that starts it: its ticks run a callback on that
// thread, while the thread dispatches messages.
//
// Why not a plain thread timer (SetTimer without a window): such a timer can only be killed on its
// own thread, and its procedure is called by address. A library unloaded on another thread would
// leave the starting thread a timer whose next tick calls code that is no longer mapped. So the
// timer lives on a hidden message-only window of the starting thread, whose class procedure is
// DefWindowProcA and whose own procedure (set on the window alone) is this library's. A window's
// procedure may be replaced from any thread of the process, which a timer's may not.
//
// Threading: Start on the thread that is to tick. Stop (and the destructor) on any thread:
// - on the owning thread it kills the timer and destroys the window, at once;
// - on another thread it gives the window back to DefWindowProcA, so that nothing this library
//   holds runs on the owning thread any more, tries to kill the timer, and posts WM_CLOSE, which
//   DefWindowProcA answers by destroying the window (and with it the timer) the next time the
//   owning thread dispatches. It waits for a tick that is running at that moment, in slices and
//   for at most kTickWaitMs, and never for the owning thread to dispatch. The callback must
//   therefore take no lock that the stopping thread may hold (the loader lock, when the library
//   unloads): it may only do its own work and return.
// Neither may be called from inside the callback.
#pragma once

#include "common/ThreadWindow.h"
#include "common/Win32.h"

#include <atomic>

class ThreadTimer {
public:
    using Callback = void (*)(void* context);

    // How long a Stop on another thread waits for a tick that is running.
    static constexpr DWORD kTickWaitMs = 2000;

    ThreadTimer() = default;
    ~ThreadTimer() { Stop(); }
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;

    // Stops a running timer, then ticks every `periodMs` on the calling thread; false (and nothing
    // running) without a callback or when the window or the timer cannot be made.
    bool Start(UINT periodMs, Callback callback, void* context) noexcept;
    void Stop() noexcept;

    bool running() const noexcept { return static_cast<bool>(window_); }
    // The thread the timer ticks on; 0 when it is not running.
    DWORD thread() const noexcept { return window_.thread(); }

    // The window procedure's entry, on the owning thread.
    void Tick() noexcept;

private:
    enum State { kIdle, kTicking, kClosed };

    void RetireOnOwnThread() noexcept;
    void RetireFromAnotherThread() noexcept;
    void WaitForRunningTick(DWORD thread) noexcept;

    // The hidden window the timer lives on, and with it the thread the timer belongs to.
    ThreadWindow window_;
    Callback callback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<int> state_{kClosed};
};
