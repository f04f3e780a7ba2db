// Deferred delivery: the worker thread never calls a user's change handler. A wrapper around the
// user's handler copies each notification into a record and posts it to a shared delivery point,
// the hidden window (records run on the window's thread while it dispatches messages) or the
// delivery thread. There the record is filtered and handed to the user's handler, in posting order.
// Stopping a watch is the flush point: the wrapper's On_WatchStopped returns once every record it
// posted before has been delivered.
//
// Lifetime: every queued record holds a reference on its wrapper, so a wrapper lives until the last
// of its records has been delivered or dropped, even after its watch record released it. A delivery
// holds a reference on the user's handler for the length of the call, so DetachRealHandler on
// another thread never frees a handler that is running.
#pragma once

#include "watcher/DirectoryChanges.h"

#include <memory>

// Filter flags, one word per watcher, copied into each wrapper.
inline constexpr DWORD NF_NO_PATTERNS = 0x01;
inline constexpr DWORD NF_MATCH_RELATIVE_PATH = 0x04;
inline constexpr DWORD NF_MATCH_FILE_NAME = 0x08;
inline constexpr DWORD NF_HOOK_FIRST = 0x10;
inline constexpr DWORD NF_NO_HOOK = 0x20;
inline constexpr DWORD NF_NO_WATCH_STARTED = 0x40;
inline constexpr DWORD NF_NO_WATCH_STOPPED = 0x80;

// WM_APP + 0x400; wParam 0, lParam the record. Both delivery points deliver a record that comes
// this way; the senders themselves queue records at the delivery point and send its thread one
// wake message for all that are waiting (RecordQueue.h).
inline constexpr UINT WM_DELAYED_NOTIFICATION = 0x8400;

// Record kinds. 1 to 4 equal the FILE_ACTION_* values handed to On_FilterNotification.
enum NotificationKind : int {
    kFileAdded = 1,
    kFileRemoved = 2,
    kFileModified = 3,
    kFileRenamed = 4,
    kReadDirectoryChangesError = 5,
    kWatchStarted = 6,
    kWatchStopped = 7,
};

// One queued notification. Names are heap copies (_strdup), released with free. A record is owned
// by whoever holds it: the posting wrapper until the post succeeds, then the queue, then the
// delivering thread, which releases it (and its reference on the owner) after the delivery.
class CDirChangeNotification {
public:
    // Runs on the delivering thread: filters, calls the real handler, releases the record. The
    // record must not be used afterwards.
    void Deliver();
    // Frees a heap record together with the two strings it owns (malloc'd copies). The owner's
    // reference is not touched: that is the disposing wrapper's business.
    static void Free(CDirChangeNotification* record) noexcept;

    CDelayedDirectoryChangeHandler* owner = nullptr;
    int kind = 0;
    char* name = nullptr;
    char* newName = nullptr;
    DWORD code = 0;
    int relativePathOffset = 0;
};

class CDelayedNotificationSender {
public:
    virtual ~CDelayedNotificationSender() = default;
    // TRUE when the record was queued; on FALSE the caller still owns it.
    virtual BOOL PostNotification(CDirChangeNotification* record) = 0;
    // Whether the delivery point can still deliver what is queued to it: a window exists, the
    // thread runs. Records queued for a window or thread that went away move to the one that
    // replaces it, so only a delivery point without any can no longer deliver. Lets a wait for a
    // delivery end when it cannot come.
    virtual bool IsDeliveryPointAlive() const = 0;
};

// The shared hidden window (class "Delayed_Message_Sender", title "DelayedWnd"), reference counted.
// The window belongs to the thread that constructed the sender which created it; records posted to
// it run there, while that thread dispatches messages.
class CDelayedNotificationWindow : public CDelayedNotificationSender {
public:
    CDelayedNotificationWindow();
    ~CDelayedNotificationWindow() override;
    BOOL PostNotification(CDirChangeNotification* record) override;
    bool IsDeliveryPointAlive() const override;

    // The shared state, for diagnostics and tests.
    static HWND SharedWindow();
    static LONG ReferenceCount();

    // The class is registered for the host executable, so it outlives a library that is unloaded;
    // its window procedure would not. Called as the library unloads: unregisters the class when no
    // sender uses it any more. True when no class of this library stays registered.
    static bool UnregisterWindowClass();

    // Builds the process-wide state of both delivery points now. The module object calls it when
    // the library loads, before it finishes its own construction: the state is then destroyed after
    // the module object, whose teardown still uses it.
    static void PrepareSharedState();

    // How often the window's thread looks for records whose wake was thrown away (a host that empties
    // its queue without dispatching, a modal loop that drops messages): one timer of the window.
    static constexpr UINT kRenewalPeriodMs = 500;

private:
    static BOOL RegisterWindowClass(const char* className);
    static BOOL CreateNotificationWindow();
};

// The shared delivery thread, reference counted. Started by the first sender, stopped by the last.
class CDelayedNotificationThread : public CDelayedNotificationSender {
public:
    CDelayedNotificationThread();
    ~CDelayedNotificationThread() override;
    BOOL PostNotification(CDirChangeNotification* record) override;
    bool IsDeliveryPointAlive() const override;

    // The shared state, for diagnostics and tests.
    static DWORD DeliveryThreadId();
    static LONG ReferenceCount();

private:
    BOOL StartThread();
    static BOOL StopThread();
    static void ThreadFunc(void* readyEvent);

    UniqueHandle threadReady_;
};

class CDelayedDirectoryChangeHandler : public CDirectoryChangeHandler {
public:
    CDelayedDirectoryChangeHandler(CDirectoryChangeHandler* realHandler, bool useWindowDelivery,
                                   const char* includeFilter, const char* excludeFilter, DWORD filterFlags);
    ~CDelayedDirectoryChangeHandler() override;

    // Called on the worker thread: each queues a copy of its arguments and returns, except
    // On_WatchStopped, which returns once the real handler's On_WatchStopped has run. The watcher's
    // worker uses PostWatchStopped instead and leaves the wait to the unwatching caller.
    void On_FileAdded(const std::string& path) override;
    void On_FileRemoved(const std::string& path) override;
    void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override;
    void On_FileModified(const std::string& path) override;
    void On_ReadDirectoryChangesError(DWORD error, const std::string& directory) override;
    void On_WatchStarted(DWORD error, const std::string& directory) override;
    void On_WatchStopped(const std::string& directory) override;

    // Queues the watch-stopped record without waiting for it; true when it was queued, so that
    // WaitForStopDelivery has something to wait for. False under NF_NO_WATCH_STOPPED.
    bool PostWatchStopped(const std::string& directory);
    // Waits (5000 ms slices, dispatching this thread's messages) until the record queued by
    // PostWatchStopped has been delivered; false when it cannot be any more.
    bool WaitForStopDelivery();

    // Stores the directory here and, while a real handler is held, on it too.
    void SetNotifyDirectory(const std::string& directory);

    // Delivering thread: filters, calls the real handler, releases the record. Releasing the record
    // may release the last reference on this wrapper.
    void DeliverNotification(CDirChangeNotification* record);

    // The user's handler; the watch record takes it out before it releases the wrapper. After
    // that, records still queued for this wrapper are released without reaching any handler.
    CDirectoryChangeHandler* GetRealHandler() const;
    CDirectoryChangeHandler* DetachRealHandler();

    // Filters.
    BOOL SetFilterPatterns(const char* includeFilter, const char* excludeFilter);
    void SetRelativePathOffset(const std::string& directory);
    bool PassesFilters(const CDirChangeNotification* record) const;
    bool IsIncluded(const char* name) const;
    bool IsExcluded(const char* name) const;

    // Where the pattern test of a record starts: in its name, and in its new name (a rename may
    // move a file to another folder, so the new name gets its own offset, never beyond its end).
    static int MatchStartOffset(const CDirChangeNotification* record, DWORD flags);
    static int NewNameMatchStartOffset(const CDirChangeNotification* record, DWORD flags);

private:
    friend class DelayedHandlerTestPeer;
    class HandlerReference;

    CDirChangeNotification* NewNotification();
    static void DisposeNotification(CDirChangeNotification* record);
    bool PostRecord(int kind, DWORD code, const std::string& name, const std::string* newName);
    CDirectoryChangeHandler* AcquireRealHandler() const;
    bool PassesFiltersFor(const CDirChangeNotification* record, CDirectoryChangeHandler* handler) const;
    static void CallRealHandler(const CDirChangeNotification* record, CDirectoryChangeHandler* handler);

    std::unique_ptr<CDelayedNotificationSender> sender_;
    CDirectoryChangeHandler* realHandler_ = nullptr;
    // The waiting thread is the unwatching caller, which may own the delivery window: dispatching
    // lets it deliver the very record it waits for.
    bool pumpWhileWaiting_ = true;
    DWORD filterFlags_ = 0;
    int relativePathOffset_ = 0;
    UniqueHandle stopDelivered_;
    std::vector<std::string> includePatterns_;
    std::vector<std::string> excludePatterns_;
    bool hasIncludeList_ = false;
    bool hasExcludeList_ = false;
};

// '*' matches any run (backslashes included), '?' one character; everything else byte for byte.
BOOL MatchWildcard(const char* name, const char* pattern);
