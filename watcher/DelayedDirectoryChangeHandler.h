// Deferred delivery: the worker thread never calls a user's change handler. A wrapper around the
// user's handler copies each notification into a record and posts it to a shared delivery point,
// the hidden window (records run on the window's thread while it dispatches messages) or the
// delivery thread. There the record is filtered and handed to the user's handler, in posting order.
// Stopping a watch is the flush point: the wrapper's On_WatchStopped returns once every record it
// posted before has been delivered.
#pragma once

#include "watcher/DirectoryChanges.h"

// Filter flags, one word per watcher, copied into each wrapper.
inline constexpr DWORD NF_NO_PATTERNS = 0x01;
inline constexpr DWORD NF_MATCH_RELATIVE_PATH = 0x04;
inline constexpr DWORD NF_MATCH_FILE_NAME = 0x08;
inline constexpr DWORD NF_HOOK_FIRST = 0x10;
inline constexpr DWORD NF_NO_HOOK = 0x20;
inline constexpr DWORD NF_NO_WATCH_STARTED = 0x40;
inline constexpr DWORD NF_NO_WATCH_STOPPED = 0x80;

// WM_APP + 0x400; wParam 0, lParam the record.
inline constexpr UINT WM_DELAYED_NOTIFICATION = 0x8400;

// One queued notification. Names are heap copies (_strdup), released with free.
class CDirChangeNotification {
public:
    // Runs on the delivering thread: filters, calls the real handler, releases the record.
    void Deliver();

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
    virtual BOOL PostNotification(CDirChangeNotification* record) = 0;
};

// The shared hidden window (class "Delayed_Message_Sender", title "DelayedWnd"), reference counted.
class CDelayedNotificationWindow : public CDelayedNotificationSender {
public:
    CDelayedNotificationWindow();
    ~CDelayedNotificationWindow() override;
    BOOL PostNotification(CDirChangeNotification* record) override;
};

// The shared delivery thread, reference counted.
class CDelayedNotificationThread : public CDelayedNotificationSender {
public:
    CDelayedNotificationThread();
    ~CDelayedNotificationThread() override;
    BOOL PostNotification(CDirChangeNotification* record) override;

private:
    HANDLE threadReady_;
};

class CDelayedDirectoryChangeHandler : public CDirectoryChangeHandler {
public:
    CDelayedDirectoryChangeHandler(CDirectoryChangeHandler* realHandler, bool useWindowDelivery,
                                   const char* includeFilter, const char* excludeFilter, DWORD filterFlags);
    ~CDelayedDirectoryChangeHandler() override;

    void On_FileAdded(const std::string& path) override;
    void On_FileRemoved(const std::string& path) override;
    void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override;
    void On_FileModified(const std::string& path) override;
    void On_ReadDirectoryChangesError(DWORD error, const std::string& directory) override;
    void On_WatchStarted(DWORD error, const std::string& directory) override;
    void On_WatchStopped(const std::string& directory) override;

    // Stores the directory here and, while a real handler is held, on it too.
    void SetNotifyDirectory(const std::string& directory);

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
    DWORD GetFilterFlags() const { return filterFlags_; }
    int GetRelativePathOffset() const { return relativePathOffset_; }

private:
    CDirChangeNotification* NewNotification();
    void DisposeNotification(CDirChangeNotification* record);
    bool WaitForStopDelivery();

    CDelayedNotificationSender* sender_ = nullptr;
    CDirectoryChangeHandler* realHandler_ = nullptr;
    bool pumpWhileWaiting_ = false;
    DWORD filterFlags_ = 0;
    int relativePathOffset_ = 0;
    HANDLE stopDelivered_ = nullptr;
    std::vector<std::string> includePatterns_;
    std::vector<std::string> excludePatterns_;
    bool hasIncludeList_ = false;
    bool hasExcludeList_ = false;
};

// '*' matches any run (backslashes included), '?' one character; everything else byte for byte.
BOOL MatchWildcard(const char* name, const char* pattern);
