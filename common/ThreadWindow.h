// The owner of a window and of the thread it belongs to. Only that thread may destroy a window, so
// the owner retires it there: at once when the owner ends on the window's thread; from any other
// thread it posts the retire message the owner was given, which the window's procedure answers by
// destroying the window (WM_CLOSE, for a window that DefWindowProcA serves), and never waits for
// that thread to dispatch. A window whose thread has already ended went with it.
#pragma once

#include "common/Win32.h"

#include <utility>

class ThreadWindow {
public:
    ThreadWindow() noexcept = default;
    // A window of the calling thread.
    ThreadWindow(HWND window, UINT retireMessage) noexcept
        : ThreadWindow(window, window != nullptr ? ::GetCurrentThreadId() : 0, retireMessage) {}
    ThreadWindow(HWND window, DWORD thread, UINT retireMessage) noexcept
        : window_(window), thread_(thread), retireMessage_(retireMessage) {}
    ~ThreadWindow() { reset(); }

    ThreadWindow(ThreadWindow&& other) noexcept
        : window_(std::exchange(other.window_, nullptr)), thread_(std::exchange(other.thread_, 0)),
          retireMessage_(other.retireMessage_) {}
    ThreadWindow& operator=(ThreadWindow&& other) noexcept {
        if (this != &other) {
            reset();
            window_ = std::exchange(other.window_, nullptr);
            thread_ = std::exchange(other.thread_, 0);
            retireMessage_ = other.retireMessage_;
        }
        return *this;
    }
    ThreadWindow(const ThreadWindow&) = delete;
    ThreadWindow& operator=(const ThreadWindow&) = delete;

    HWND get() const noexcept { return window_; }
    // The window's thread; 0 when there is no window.
    DWORD thread() const noexcept { return thread_; }
    bool OnOwnThread() const noexcept { return window_ != nullptr && thread_ == ::GetCurrentThreadId(); }
    explicit operator bool() const noexcept { return window_ != nullptr; }

    // Lets go of the window without retiring it (it is gone already, or someone else retires it).
    HWND release() noexcept {
        thread_ = 0;
        return std::exchange(window_, nullptr);
    }

    void reset() noexcept {
        const DWORD thread = thread_;
        HWND window = release();
        if (window == nullptr)
            return;
        if (thread == ::GetCurrentThreadId())
            ::DestroyWindow(window);
        else if (::GetWindowThreadProcessId(window, nullptr) == thread)
            ::PostMessageA(window, retireMessage_, 0, 0);
    }

private:
    HWND window_ = nullptr;
    DWORD thread_ = 0;
    UINT retireMessage_ = WM_CLOSE;
};
