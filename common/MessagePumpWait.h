// The one way a thread that may own a window waits: for a kernel object, while it dispatches its
// own messages. Three rules make such a wait end:
//  - it wakes for input that is already in the queue (MWMO_INPUTAVAILABLE), not only for input that
//    arrived since the thread last looked: a message the host's loop saw but left behind (one queued
//    behind the message whose handler is waiting) would otherwise never wake it;
//  - it dispatches what it takes, since the object it waits for may be signalled by a handler of
//    this very thread (a delivery window that this thread owns);
//  - a WM_QUIT taken meanwhile is kept and posted again when the wait is over, so that the host's own
//    message loop still ends.
#pragma once

#include "common/Win32.h"

// Holds a WM_QUIT taken off the queue during a wait and posts it again when it goes out of scope.
class QuitKeeper {
public:
    QuitKeeper() = default;
    QuitKeeper(const QuitKeeper&) = delete;
    QuitKeeper& operator=(const QuitKeeper&) = delete;
    ~QuitKeeper();
    void Keep(WPARAM code) noexcept;

private:
    bool seen_ = false;
    WPARAM code_ = 0;
};

// Dispatches what is queued for this thread now; a WM_QUIT ends the dispatching and is kept.
void DispatchQueuedMessages(QuitKeeper& quit);

// Waits until `handle` is signalled or `timeoutMs` have passed, dispatching this thread's messages
// meanwhile. A null handle waits for the time alone. Answers WAIT_OBJECT_0, WAIT_TIMEOUT or
// WAIT_FAILED (the handle is not a waitable object).
DWORD WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs, QuitKeeper& quit);

// The same, with its own keeper: a WM_QUIT met is posted again before this returns.
DWORD WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs);
