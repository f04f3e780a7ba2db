// Dispatching this thread's messages while it waits for the worker or for a delivery. A WM_QUIT
// taken off the queue meanwhile is kept and posted again once the wait is over: swallowing it would
// leave the thread's own message loop running for ever.
#pragma once

#include "common/Win32.h"

class QuitKeeper {
public:
    QuitKeeper() = default;
    QuitKeeper(const QuitKeeper&) = delete;
    QuitKeeper& operator=(const QuitKeeper&) = delete;
    ~QuitKeeper() {
        if (seen_)
            ::PostQuitMessage(static_cast<int>(code_));
    }
    void Keep(WPARAM code) {
        seen_ = true;
        code_ = code;
    }

private:
    bool seen_ = false;
    WPARAM code_ = 0;
};

// Dispatches what is queued for this thread; a WM_QUIT ends the dispatching and is kept.
inline void DispatchQueuedMessages(QuitKeeper& quit) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit.Keep(msg.wParam);
            return;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}
