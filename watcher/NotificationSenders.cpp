// The two shared delivery points: the hidden window and the delivery thread, each reference counted
// by the sender objects that use it. The shared state is guarded by one lock per delivery point,
// which is never held while waiting for the delivery thread or while a window is destroyed, since
// both may run deliveries that construct or destroy senders themselves.
#include "watcher/DelayedDirectoryChangeHandler.h"

#include <process.h>

namespace {

// Asks a window whose owner thread is another one to destroy itself; it does so after the records
// already queued to it, since posted messages keep their order.
constexpr UINT kRetireWindowMessage = WM_DELAYED_NOTIFICATION + 1;
constexpr const char* kWindowClassName = "Delayed_Message_Sender";
constexpr const char* kWindowTitle = "DelayedWnd";

struct SharedWindowState {
    RecursiveLock lock;
    volatile LONG refCount = 0;
    HWND window = nullptr;
    BOOL classRegistered = FALSE;
};

struct SharedThreadState {
    RecursiveLock lock;
    volatile LONG refCount = 0;
    UniqueHandle thread;
    DWORD threadId = 0;
};

SharedWindowState& WindowState() {
    static SharedWindowState state;
    return state;
}

SharedThreadState& ThreadState() {
    static SharedThreadState state;
    return state;
}

void DeliverGuarded(LPARAM lParam) noexcept {
    try {
        reinterpret_cast<CDirChangeNotification*>(lParam)->Deliver();
    } catch (...) {
        // A delivery never ends the window procedure or the delivery thread.
    }
}

LRESULT CALLBACK DelayedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_DELAYED_NOTIFICATION) {
        if (lParam != 0)
            DeliverGuarded(lParam);
        return 0;
    }
    if (message == kRetireWindowMessage) {
        ::DestroyWindow(window);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

// Only the owner thread may destroy a window; any other asks it to.
void RetireWindow(HWND window) {
    if (window == nullptr || !::IsWindow(window))
        return;
    if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId())
        ::DestroyWindow(window);
    else
        ::PostMessageA(window, kRetireWindowMessage, 0, 0);
}

} // namespace

// ---- the shared window ----

CDelayedNotificationWindow::CDelayedNotificationWindow() {
    SharedWindowState& state = WindowState();
    ScopedLock hold(state.lock);
    const LONG count = ::InterlockedIncrement(&state.refCount);
    if (count == 1 || !::IsWindow(state.window))
        CreateNotificationWindow();
}

CDelayedNotificationWindow::~CDelayedNotificationWindow() {
    SharedWindowState& state = WindowState();
    HWND retired = nullptr;
    {
        ScopedLock hold(state.lock);
        if (::InterlockedDecrement(&state.refCount) == 0)
            retired = std::exchange(state.window, nullptr);
    }
    RetireWindow(retired);
}

BOOL CDelayedNotificationWindow::RegisterWindowClass(const char* className) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DelayedWindowProc;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = className;
    return ::RegisterClassA(&windowClass) != 0;
}

// Called with the shared window's lock held; the new window belongs to the calling thread.
BOOL CDelayedNotificationWindow::CreateNotificationWindow() {
    SharedWindowState& state = WindowState();
    if (!state.classRegistered)
        state.classRegistered = RegisterWindowClass(kWindowClassName);
    state.window = ::CreateWindowExA(0, kWindowClassName, kWindowTitle, 0, 0, 0, 0, 0, nullptr, nullptr,
                                     ::GetModuleHandleA(nullptr), nullptr);
    return state.window != nullptr;
}

bool CDelayedNotificationWindow::UnregisterWindowClass() {
    SharedWindowState& state = WindowState();
    ScopedLock hold(state.lock);
    if (!state.classRegistered)
        return true;
    if (state.refCount != 0)
        return false;
    if (::UnregisterClassA(kWindowClassName, ::GetModuleHandleA(nullptr)))
        state.classRegistered = FALSE;
    return !state.classRegistered;
}

BOOL CDelayedNotificationWindow::PostNotification(CDirChangeNotification* record) {
    SharedWindowState& state = WindowState();
    HWND target;
    {
        ScopedLock hold(state.lock);
        target = state.window;
    }
    lastTarget_ = target;
    if (target == nullptr)
        return FALSE;
    return ::PostMessageA(target, WM_DELAYED_NOTIFICATION, 0, reinterpret_cast<LPARAM>(record));
}

bool CDelayedNotificationWindow::IsDeliveryPointAlive() const {
    return lastTarget_ != nullptr && ::IsWindow(lastTarget_);
}

HWND CDelayedNotificationWindow::SharedWindow() {
    ScopedLock hold(WindowState().lock);
    return WindowState().window;
}

LONG CDelayedNotificationWindow::ReferenceCount() {
    return WindowState().refCount;
}

// ---- the shared delivery thread ----

CDelayedNotificationThread::CDelayedNotificationThread()
    : threadReady_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    SharedThreadState& state = ThreadState();
    ScopedLock hold(state.lock);
    if (::InterlockedIncrement(&state.refCount) == 1)
        StartThread();
}

CDelayedNotificationThread::~CDelayedNotificationThread() {
    bool last = false;
    {
        SharedThreadState& state = ThreadState();
        ScopedLock hold(state.lock);
        if (::InterlockedDecrement(&state.refCount) <= 0) {
            ::InterlockedExchange(&state.refCount, 0);
            last = true;
        }
    }
    if (last)
        StopThread();
}

// Called with the shared thread's lock held, so that no other sender posts before the thread has a
// message queue. The wait also ends if the thread dies before it is ready.
BOOL CDelayedNotificationThread::StartThread() {
    SharedThreadState& state = ThreadState();
    unsigned threadId = 0;
    HANDLE thread =
        reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, ThreadFunc, threadReady_.get(), 0, &threadId));
    if (thread == nullptr)
        return FALSE;
    state.thread.reset(thread);
    state.threadId = threadId;
    if (threadReady_) {
        HANDLE handles[] = {threadReady_.get(), thread};
        ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
    return TRUE;
}

// The thread delivers what was posted before the WM_QUIT, then ends. Stopping from the delivery
// thread itself (its last sender destroyed by a delivery) cannot wait for itself: the thread just
// ends after the delivery in progress. WM_QUIT is posted again at every slice, in case a post failed.
BOOL CDelayedNotificationThread::StopThread() {
    SharedThreadState& state = ThreadState();
    UniqueHandle thread;
    DWORD threadId = 0;
    {
        ScopedLock hold(state.lock);
        if (!state.thread || state.threadId == 0)
            return TRUE;
        thread = std::move(state.thread);
        threadId = std::exchange(state.threadId, 0);
    }
    ::PostThreadMessageA(threadId, WM_QUIT, 0, 0);
    if (threadId == ::GetCurrentThreadId())
        return TRUE;
    while (::WaitForSingleObject(thread.get(), 5000) == WAIT_TIMEOUT)
        ::PostThreadMessageA(threadId, WM_QUIT, 0, 0);
    return TRUE;
}

unsigned __stdcall CDelayedNotificationThread::ThreadFunc(void* readyEvent) {
    // Posting to the thread itself gives it its message queue; the WM_NULL is dropped below.
    ::PostMessageA(nullptr, WM_NULL, 0, 0);
    if (readyEvent != nullptr)
        ::SetEvent(static_cast<HANDLE>(readyEvent));
    MSG msg;
    for (;;) {
        const BOOL result = ::GetMessageA(&msg, nullptr, 0, 0);
        if (result == 0 || result == -1)
            break;
        if (msg.message == WM_DELAYED_NOTIFICATION && msg.lParam != 0)
            DeliverGuarded(msg.lParam);
    }
    // Records that arrived behind the WM_QUIT still own references; they are delivered, not lost.
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_DELAYED_NOTIFICATION && msg.lParam != 0)
            DeliverGuarded(msg.lParam);
    }
    return 0;
}

BOOL CDelayedNotificationThread::PostNotification(CDirChangeNotification* record) {
    SharedThreadState& state = ThreadState();
    DWORD threadId;
    {
        ScopedLock hold(state.lock);
        threadId = state.threadId;
    }
    lastTargetId_ = threadId;
    if (threadId == 0)
        return FALSE;
    return ::PostThreadMessageA(threadId, WM_DELAYED_NOTIFICATION, 0, reinterpret_cast<LPARAM>(record));
}

bool CDelayedNotificationThread::IsDeliveryPointAlive() const {
    SharedThreadState& state = ThreadState();
    ScopedLock hold(state.lock);
    return lastTargetId_ != 0 && state.threadId == lastTargetId_ && state.thread &&
           ::WaitForSingleObject(state.thread.get(), 0) == WAIT_TIMEOUT;
}

DWORD CDelayedNotificationThread::DeliveryThreadId() {
    ScopedLock hold(ThreadState().lock);
    return ThreadState().threadId;
}

LONG CDelayedNotificationThread::ReferenceCount() {
    return ThreadState().refCount;
}
