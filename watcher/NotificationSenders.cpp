// The two shared delivery points: the hidden window and the delivery thread, each reference counted
// by the sender objects that use it. Records wait in the delivery point's own queue; the thread
// behind it is sent one wake message at a time and takes, per wake, what is queued. The shared
// state is guarded by one lock per delivery point, which is never held while a record is delivered,
// while waiting for the delivery thread or while a window is destroyed, since all three may run
// deliveries that construct or destroy senders themselves.
//
// A wake can be lost: a host that empties its queue without dispatching, or a modal loop inside a
// delivery that drops what it does not know, takes it without ever handing it to us. So the
// delivering thread also looks at its queue by itself every renewal period: the window through a
// timer of its own (a timer message comes again however often it is thrown away), the delivery
// thread at each time-out of its wait. Whatever it takes then clears the lost wake's mark, so that
// the next record gets a new wake.
#include "common/LibraryThread.h"
#include "common/MessagePumpWait.h"
#include "common/ThreadWindow.h"
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/RecordQueue.h"

#include <climits>

namespace {

// Sends the delivering thread to take the records queued at its delivery point.
constexpr UINT kWakeMessage = WM_DELAYED_NOTIFICATION + 2;
// Records delivered per wake before the thread goes back to its other messages (the host's timers
// and input), when a further wake already waits for the rest.
constexpr int kRecordsPerWake = 256;
constexpr UINT_PTR kRenewalTimerId = 1;
constexpr const char* kWindowClassName = "Delayed_Message_Sender";
constexpr const char* kWindowTitle = "DelayedWnd";

BOOL PostWindowWake(RecordQueue::Target target) {
    return ::PostMessageA(reinterpret_cast<HWND>(target), kWakeMessage, 0, 0);
}

BOOL PostThreadWake(RecordQueue::Target target) {
    return ::PostThreadMessageA(DWORD(target), kWakeMessage, 0, 0);
}

struct SharedWindowState {
    RecursiveLock lock;
    volatile LONG refCount = 0;
    HWND window = nullptr;
    BOOL classRegistered = FALSE;
    // The module the class is registered for: the host executable, or this library's own module
    // when a stale class of an earlier load blocks the executable's name.
    HINSTANCE classInstance = nullptr;
    RecordQueue records{PostWindowWake};
};

struct SharedThreadState {
    RecursiveLock lock;
    volatile LONG refCount = 0;
    LibraryThread thread;
    DWORD threadId = 0;
    RecordQueue records{PostThreadWake};
};

SharedWindowState& WindowState() {
    static SharedWindowState state;
    return state;
}

SharedThreadState& ThreadState() {
    static SharedThreadState state;
    return state;
}

void DeliverGuarded(CDirChangeNotification* record) noexcept {
    if (record == nullptr)
        return;
    try {
        record->Deliver();
    } catch (...) {
        // A delivery never ends the window procedure or the delivery thread.
    }
}

void DeliverGuarded(LPARAM lParam) noexcept {
    DeliverGuarded(reinterpret_cast<CDirChangeNotification*>(lParam));
}

// Delivers what is queued at a delivery point, in order, for one wake of `target`: up to `limit`
// records while a further wake waits for the rest, else all. `stillServes` tells, under the lock,
// whether the target still serves the delivery point: a window that has been replaced, or a thread
// that is not the delivery thread any more, takes nothing.
template <typename State, typename StillServes>
void DeliverQueuedRecords(State& state, RecordQueue::Target target, StillServes stillServes,
                          int limit = kRecordsPerWake) {
    {
        ScopedLock hold(state.lock);
        state.records.WakeArrived(target);
    }
    for (int delivered = 0;; ++delivered) {
        CDirChangeNotification* record;
        {
            ScopedLock hold(state.lock);
            if (!stillServes() || (delivered >= limit && state.records.WakePending(target)))
                return;
            record = state.records.TakeNext(target);
        }
        if (record == nullptr)
            return;
        DeliverGuarded(record);
    }
}

LRESULT CALLBACK DelayedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_DELAYED_NOTIFICATION) {
        if (lParam != 0)
            DeliverGuarded(lParam);
        return 0;
    }
    if (message == kWakeMessage) {
        SharedWindowState& state = WindowState();
        DeliverQueuedRecords(state, RecordQueue::Target(window), [&] { return state.window == window; });
        return 0;
    }
    if (message == WM_TIMER && wParam == kRenewalTimerId) {
        SharedWindowState& state = WindowState();
        DeliverQueuedRecords(state, RecordQueue::Target(window), [&] { return state.window == window; });
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

HINSTANCE OwnModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(reinterpret_cast<const void*>(&DelayedWindowProc)), &module);
    return module;
}

bool IsOurClass(HINSTANCE instance, const char* className) {
    WNDCLASSA existing{};
    return ::GetClassInfoA(instance, className, &existing) && existing.lpfnWndProc == &DelayedWindowProc;
}

// Registers the class for `instance`; a class of that name already there counts when it is ours.
BOOL RegisterClassFor(WNDCLASSA windowClass, HINSTANCE instance) {
    windowClass.hInstance = instance;
    if (::RegisterClassA(&windowClass) != 0)
        return TRUE;
    const DWORD error = ::GetLastError();
    if (error == ERROR_CLASS_ALREADY_EXISTS && IsOurClass(instance, windowClass.lpszClassName))
        return TRUE;
    ::SetLastError(error);
    return FALSE;
}

// Only the owner thread may destroy a window; any other asks it to.
void RetireWindow(HWND window) {
    if (window == nullptr || !::IsWindow(window))
        return;
    const DWORD thread = ::GetWindowThreadProcessId(window, nullptr);
    if (thread == ::GetCurrentThreadId()) {
        ThreadWindow(window, thread, WM_CLOSE).reset(); // destroyed at once
        return;
    }
    // Its own thread may dispatch the close only after this library has been unloaded: from here on
    // the window's messages go to DefWindowProcA, which destroys it on WM_CLOSE, and none of them
    // reaches this library's code again. No record waits for it: the last sender is gone.
    ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcA));
    ThreadWindow(window, thread, WM_CLOSE).reset();
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

// Called with the shared window's lock held. The class belongs to the host executable, so a
// window that outlived an earlier load of this library can leave it registered with that load's
// window procedure, which is gone: such a class is replaced, or, while windows of it still exist
// and keep it, this load registers the name for its own module instead.
BOOL CDelayedNotificationWindow::RegisterWindowClass(const char* className) {
    SharedWindowState& state = WindowState();
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DelayedWindowProc;
    windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = className;
    const HINSTANCE host = ::GetModuleHandleA(nullptr);
    if (RegisterClassFor(windowClass, host)) {
        state.classInstance = host;
        return TRUE;
    }
    if (::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return FALSE;
    if (::UnregisterClassA(className, host) && RegisterClassFor(windowClass, host)) {
        state.classInstance = host;
        return TRUE;
    }
    const HINSTANCE own = OwnModule();
    if (own != nullptr && own != host && RegisterClassFor(windowClass, own)) {
        state.classInstance = own;
        return TRUE;
    }
    return FALSE;
}

// Called with the shared window's lock held; the new window belongs to the calling thread.
BOOL CDelayedNotificationWindow::CreateNotificationWindow() {
    SharedWindowState& state = WindowState();
    if (!state.classRegistered)
        state.classRegistered = RegisterWindowClass(kWindowClassName);
    if (!state.classRegistered)
        return FALSE;
    state.window = ::CreateWindowExA(0, kWindowClassName, kWindowTitle, 0, 0, 0, 0, 0, nullptr, nullptr,
                                     state.classInstance, nullptr);
    if (state.window == nullptr)
        return FALSE;
    ::SetTimer(state.window, kRenewalTimerId, kRenewalPeriodMs, nullptr);
    // Records left by a window whose thread ended are delivered by this one.
    state.records.Retarget(RecordQueue::Target(state.window));
    return TRUE;
}

bool CDelayedNotificationWindow::UnregisterWindowClass() {
    SharedWindowState& state = WindowState();
    ScopedLock hold(state.lock);
    if (!state.classRegistered)
        return true;
    if (state.refCount != 0)
        return false;
    if (::UnregisterClassA(kWindowClassName, state.classInstance))
        state.classRegistered = FALSE;
    return !state.classRegistered;
}

void CDelayedNotificationWindow::PrepareSharedState() {
    WindowState();
    ThreadState();
}

// A null record is accepted and ignored, as a delivery point ignores a message without a record.
BOOL CDelayedNotificationWindow::PostNotification(CDirChangeNotification* record) {
    SharedWindowState& state = WindowState();
    ScopedLock hold(state.lock);
    if (state.window == nullptr)
        return FALSE;
    if (record == nullptr)
        return TRUE;
    return state.records.Push(record, RecordQueue::Target(state.window));
}

bool CDelayedNotificationWindow::IsDeliveryPointAlive() const {
    SharedWindowState& state = WindowState();
    ScopedLock hold(state.lock);
    return state.window != nullptr && ::IsWindow(state.window);
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
    if (!state.thread.Start(&ThreadFunc, threadReady_.get()))
        return FALSE;
    state.threadId = state.thread.id();
    if (threadReady_) {
        HANDLE handles[] = {threadReady_.get(), state.thread.handle()};
        ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
    // Records that a stopping thread left behind are delivered by this one.
    state.records.Retarget(state.threadId);
    return TRUE;
}

namespace {

bool PostQuitToThread(void* threadId) {
    return ::PostThreadMessageA(DWORD(reinterpret_cast<UINT_PTR>(threadId)), WM_QUIT, 0, 0) != FALSE;
}

} // namespace

// The thread delivers what was posted before the WM_QUIT, then ends. Stopping from the delivery
// thread itself (its last sender destroyed by a delivery) cannot wait for itself: the thread just
// ends after the delivery in progress. WM_QUIT is posted again at every slice, in case a post failed
// or a modal loop inside a delivery took it.
BOOL CDelayedNotificationThread::StopThread() {
    SharedThreadState& state = ThreadState();
    LibraryThread thread;
    {
        ScopedLock hold(state.lock);
        if (!state.thread.running() || state.threadId == 0)
            return TRUE;
        thread = std::move(state.thread);
        state.threadId = 0;
    }
    thread.StopAndJoin(&PostQuitToThread, reinterpret_cast<void*>(UINT_PTR(thread.id())), 5000, true);
    return TRUE;
}

namespace {

// Handles one message of the delivery thread's queue; false at WM_QUIT.
bool HandleDeliveryThreadMessage(const MSG& msg, SharedThreadState& state, DWORD self) {
    if (msg.message == WM_QUIT)
        return false;
    if (msg.message == WM_DELAYED_NOTIFICATION && msg.lParam != 0)
        DeliverGuarded(msg.lParam);
    else if (msg.message == kWakeMessage)
        DeliverQueuedRecords(state, self, [&] { return state.threadId == self; });
    return true;
}

} // namespace

void CDelayedNotificationThread::ThreadFunc(void* readyEvent) {
    // Posting to the thread itself gives it its message queue; the WM_NULL is dropped below.
    ::PostMessageA(nullptr, WM_NULL, 0, 0);
    if (readyEvent != nullptr)
        ::SetEvent(static_cast<HANDLE>(readyEvent));
    SharedThreadState& state = ThreadState();
    const DWORD self = ::GetCurrentThreadId();
    for (bool running = true; running;) {
        const DWORD result = ::MsgWaitForMultipleObjectsEx(
            0, nullptr, CDelayedNotificationWindow::kRenewalPeriodMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (result == WAIT_TIMEOUT) {
            // Records whose wake a modal loop inside an earlier delivery threw away.
            DeliverQueuedRecords(state, self, [&] { return state.threadId == self; });
            continue;
        }
        MSG msg;
        while (running && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            running = HandleDeliveryThreadMessage(msg, state, self);
    }
    // What was posted before the stop is delivered, not lost: the records still queued (unless a new
    // delivery thread has taken over the queue) and records that arrived behind the WM_QUIT.
    DeliverQueuedRecords(
        state, self, [&] { return state.threadId == 0 || state.threadId == self; }, INT_MAX);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_DELAYED_NOTIFICATION && msg.lParam != 0)
            DeliverGuarded(msg.lParam);
    }
}

// A null record is accepted and ignored, as a delivery point ignores a message without a record.
BOOL CDelayedNotificationThread::PostNotification(CDirChangeNotification* record) {
    SharedThreadState& state = ThreadState();
    ScopedLock hold(state.lock);
    if (state.threadId == 0)
        return FALSE;
    if (record == nullptr)
        return TRUE;
    return state.records.Push(record, state.threadId);
}

bool CDelayedNotificationThread::IsDeliveryPointAlive() const {
    SharedThreadState& state = ThreadState();
    ScopedLock hold(state.lock);
    return state.threadId != 0 && state.thread.running() &&
           ::WaitForSingleObject(state.thread.handle(), 0) == WAIT_TIMEOUT;
}

DWORD CDelayedNotificationThread::DeliveryThreadId() {
    ScopedLock hold(ThreadState().lock);
    return ThreadState().threadId;
}

LONG CDelayedNotificationThread::ReferenceCount() {
    return ThreadState().refCount;
}
