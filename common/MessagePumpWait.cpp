#include "common/MessagePumpWait.h"

#include "common/Tick.h"

QuitKeeper::~QuitKeeper() {
    if (seen_)
        ::PostQuitMessage(static_cast<int>(code_));
}

void QuitKeeper::Keep(WPARAM code) noexcept {
    seen_ = true;
    code_ = code;
}

void DispatchQueuedMessages(QuitKeeper& quit) {
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

DWORD WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs, QuitKeeper& quit) {
    const DWORD count = handle != nullptr ? 1 : 0;
    const ULONGLONG deadline = TickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = TickCount64();
        const DWORD remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const DWORD result =
            ::MsgWaitForMultipleObjectsEx(count, &handle, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (result == WAIT_OBJECT_0 + count) {
            DispatchQueuedMessages(quit);
            // Messages keep coming: the handle is looked at once more before the time is up.
            if (remaining == 0)
                return count != 0 && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0 ? WAIT_OBJECT_0
                                                                                       : WAIT_TIMEOUT;
            continue;
        }
        if (count != 0 && result == WAIT_OBJECT_0)
            return WAIT_OBJECT_0;
        return result == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
    }
}

DWORD WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs) {
    QuitKeeper quit;
    return WaitDispatchingMessages(handle, timeoutMs, quit);
}
