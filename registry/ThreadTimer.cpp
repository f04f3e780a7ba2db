#include "registry/ThreadTimer.h"

#include "common/Tick.h"
#include "common/UniqueHandle.h"

#include <utility>

namespace {

constexpr char kClassName[] = "Orvane_Thread_Timer";
constexpr UINT_PTR kTimerId = 1;
constexpr DWORD kWaitSliceMs = 10;

// The module this code lies in: the library, or a program that links the registry monitor in.
HINSTANCE ThisModule() noexcept {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         kClassName, &module);
    return module;
}

// The class's procedure is DefWindowProcA, which never goes away. So a class left behind (by a
// window that outlived an earlier load of the library at the same address) is as good as a new
// one; a class of this name with any other procedure is not ours and is refused.
bool RegisterTimerClass(HINSTANCE instance) noexcept {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = ::DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    if (::RegisterClassA(&windowClass) != 0)
        return true;
    if (::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    WNDCLASSA existing{};
    return ::GetClassInfoA(instance, kClassName, &existing) && existing.lpfnWndProc == ::DefWindowProcA;
}

// A message-only window of the calling thread. A timer retired on its own thread unregisters the
// class, which another thread's Start may meet between its registration and its window: one more
// round then.
HWND CreateTimerWindow() noexcept {
    const HINSTANCE instance = ThisModule();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!RegisterTimerClass(instance))
            return nullptr;
        HWND window =
            ::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
        if (window != nullptr)
            return window;
    }
    return nullptr;
}

LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_TIMER && wParam == kTimerId) {
        auto* timer = reinterpret_cast<ThreadTimer*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
        if (timer != nullptr)
            timer->Tick();
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

bool ThreadTimer::Start(UINT periodMs, Callback callback, void* context) noexcept {
    Stop();
    if (callback == nullptr)
        return false;
    ThreadWindow window(CreateTimerWindow(), WM_CLOSE);
    if (!window)
        return false;
    callback_ = callback;
    context_ = context;
    state_.store(kIdle);
    ::SetWindowLongPtrA(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetWindowLongPtrA(window.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TimerWindowProc));
    if (::SetTimer(window.get(), kTimerId, periodMs, nullptr) == 0) {
        state_.store(kClosed);
        return false; // the window is destroyed with its owner, on this thread
    }
    window_ = std::move(window);
    return true;
}

void ThreadTimer::Stop() noexcept {
    if (!window_)
        return;
    if (window_.OnOwnThread())
        RetireOnOwnThread();
    else
        RetireFromAnotherThread();
}

void ThreadTimer::Tick() noexcept {
    int idle = kIdle;
    if (!state_.compare_exchange_strong(idle, kTicking))
        return; // stopped, or a tick already running further up this thread's stack
    try {
        callback_(context_);
    } catch (...) {
    }
    // The last touch of this object: a Stop on another thread may free it as soon as it sees this.
    int ticking = kTicking;
    state_.compare_exchange_strong(ticking, kIdle);
}

void ThreadTimer::RetireOnOwnThread() noexcept {
    state_.store(kClosed);
    ::KillTimer(window_.get(), kTimerId);
    window_.reset();
    ::UnregisterClassA(kClassName, ThisModule()); // refused while another timer's window lives
}

// Nothing here waits for the owning thread to dispatch: that thread may be blocked on the caller
// (a host waiting for the thread that unloads the library, or the loader lock itself).
void ThreadTimer::RetireFromAnotherThread() noexcept {
    const DWORD thread = window_.thread();
    DWORD process = 0;
    if (::GetWindowThreadProcessId(window_.get(), &process) != thread || process != ::GetCurrentProcessId()) {
        state_.store(kClosed); // the window went with its thread
        window_.release();
        return;
    }
    // From here on a dispatch on the owning thread runs DefWindowProcA only.
    ::SetWindowLongPtrA(window_.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcA));
    ::SetWindowLongPtrA(window_.get(), GWLP_USERDATA, 0);
    // Windows may refuse to kill another thread's timer; the window's end kills it all the same.
    ::KillTimer(window_.get(), kTimerId);
    // Posts WM_CLOSE, which DefWindowProcA answers by destroying the window (and its timer). Should
    // the post fail, the window and its timer stay until the thread ends, harmless.
    window_.reset();
    WaitForRunningTick(thread);
}

// A tick that had already entered the window procedure may still be running on the owning thread;
// it only does the callback's own work (no lock this thread may hold), so waiting for it ends.
void ThreadTimer::WaitForRunningTick(DWORD thread) noexcept {
    UniqueHandle owner(::OpenThread(SYNCHRONIZE, FALSE, thread));
    const ULONGLONG deadline = TickCount64() + kTickWaitMs;
    for (;;) {
        int idle = kIdle;
        if (state_.compare_exchange_strong(idle, kClosed) || idle == kClosed)
            return;
        const ULONGLONG now = TickCount64();
        if (now >= deadline)
            break;
        const DWORD slice = static_cast<DWORD>(deadline - now < kWaitSliceMs ? deadline - now : kWaitSliceMs);
        if (!owner) {
            ::Sleep(slice);
        } else if (::WaitForSingleObject(owner.get(), slice) == WAIT_OBJECT_0) {
            break; // the owning thread ended, in the middle of its tick
        }
    }
    state_.store(kClosed);
}
