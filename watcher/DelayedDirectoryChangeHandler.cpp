// The deferred-delivery wrapper: posting on the worker thread, delivery on the delivering thread,
// and the watch-stopped flush between the two.
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "common/MessagePumpWait.h"

#include <cstdlib>
#include <new>
#include <utility>

// Holds a reference on the real handler for the length of one call, so that a watch record that
// detaches and releases the handler meanwhile never frees it under the call.
class CDelayedDirectoryChangeHandler::HandlerReference {
public:
    explicit HandlerReference(CDirectoryChangeHandler* handler) : handler_(handler) {}
    ~HandlerReference() { reset(); }
    HandlerReference(const HandlerReference&) = delete;
    HandlerReference& operator=(const HandlerReference&) = delete;

    CDirectoryChangeHandler* get() const { return handler_; }
    void reset() {
        if (CDirectoryChangeHandler* handler = std::exchange(handler_, nullptr))
            handler->Release();
    }

private:
    CDirectoryChangeHandler* handler_;
};

CDelayedDirectoryChangeHandler::CDelayedDirectoryChangeHandler(CDirectoryChangeHandler* realHandler,
                                                               bool useWindowDelivery,
                                                               const char* includeFilter,
                                                               const char* excludeFilter, DWORD filterFlags)
    : realHandler_(realHandler), filterFlags_(filterFlags) {
    if ((includeFilter != nullptr && *includeFilter != '\0') ||
        (excludeFilter != nullptr && *excludeFilter != '\0'))
        SetFilterPatterns(includeFilter, excludeFilter);
    stopDelivered_.reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (useWindowDelivery)
        sender_.reset(new (std::nothrow) CDelayedNotificationWindow());
    else
        sender_.reset(new (std::nothrow) CDelayedNotificationThread());
}

// The wrapper holds no reference of its own on the real handler (the watch record does), so a link
// still set here is only cleared: destroying the handler could free an object that is not ours.
// Records of this wrapper hold references on it, so none is still queued by now.
CDelayedDirectoryChangeHandler::~CDelayedDirectoryChangeHandler() {
    DetachRealHandler();
    sender_.reset();
    stopDelivered_.reset();
    includePatterns_.clear();
    excludePatterns_.clear();
    hasIncludeList_ = hasExcludeList_ = false;
}

CDirectoryChangeHandler* CDelayedDirectoryChangeHandler::GetRealHandler() const {
    ScopedLock hold(lock_);
    return realHandler_;
}

CDirectoryChangeHandler* CDelayedDirectoryChangeHandler::DetachRealHandler() {
    ScopedLock hold(lock_);
    return std::exchange(realHandler_, nullptr);
}

CDirectoryChangeHandler* CDelayedDirectoryChangeHandler::AcquireRealHandler() const {
    ScopedLock hold(lock_);
    if (realHandler_ != nullptr)
        realHandler_->AddRef();
    return realHandler_;
}

void CDelayedDirectoryChangeHandler::SetNotifyDirectory(const std::string& directory) {
    CDirectoryChangeHandler::SetNotifyDirectory(directory);
    HandlerReference handler(AcquireRealHandler());
    if (handler.get() != nullptr)
        handler.get()->SetNotifyDirectory(directory);
}

// ---- posting (worker thread) ----

CDirChangeNotification* CDelayedDirectoryChangeHandler::NewNotification() {
    CDirChangeNotification* record = new (std::nothrow) CDirChangeNotification();
    if (record == nullptr)
        return nullptr;
    AddRef();
    record->owner = this;
    record->relativePathOffset = relativePathOffset_;
    return record;
}

// Releases the record's reference on its owner last: that may destroy the owner, so a member
// function that calls this must not touch its object afterwards.
void CDelayedDirectoryChangeHandler::DisposeNotification(CDirChangeNotification* record) {
    if (record == nullptr)
        return;
    CDelayedDirectoryChangeHandler* owner = record->owner;
    CDirChangeNotification::Free(record);
    if (owner != nullptr)
        owner->Release();
}

// A record that cannot be made, copied or queued is dropped here, so nothing leaks and nobody waits
// for it. The caller holds a reference on this wrapper, so the disposal never destroys it.
bool CDelayedDirectoryChangeHandler::PostRecord(int kind, DWORD code, const std::string& name,
                                                const std::string* newName) {
    CDirChangeNotification* record = NewNotification();
    if (record == nullptr)
        return false;
    record->kind = kind;
    record->code = code;
    record->name = ::_strdup(name.c_str());
    if (newName != nullptr)
        record->newName = ::_strdup(newName->c_str());
    const bool complete = record->name != nullptr && (newName == nullptr || record->newName != nullptr);
    if (complete && sender_ != nullptr && sender_->PostNotification(record))
        return true;
    DisposeNotification(record);
    return false;
}

void CDelayedDirectoryChangeHandler::On_FileAdded(const std::string& path) {
    PostRecord(kFileAdded, 0, path, nullptr);
}

void CDelayedDirectoryChangeHandler::On_FileRemoved(const std::string& path) {
    PostRecord(kFileRemoved, 0, path, nullptr);
}

void CDelayedDirectoryChangeHandler::On_FileNameChanged(const std::string& oldPath,
                                                        const std::string& newPath) {
    PostRecord(kFileRenamed, 0, oldPath, &newPath);
}

void CDelayedDirectoryChangeHandler::On_FileModified(const std::string& path) {
    PostRecord(kFileModified, 0, path, nullptr);
}

void CDelayedDirectoryChangeHandler::On_ReadDirectoryChangesError(DWORD error, const std::string& directory) {
    PostRecord(kReadDirectoryChangesError, error, directory, nullptr);
}

void CDelayedDirectoryChangeHandler::On_WatchStarted(DWORD error, const std::string& directory) {
    if (filterFlags_ & NF_NO_WATCH_STARTED)
        return;
    PostRecord(kWatchStarted, error, directory, nullptr);
}

void CDelayedDirectoryChangeHandler::On_WatchStopped(const std::string& directory) {
    if (PostWatchStopped(directory))
        WaitForStopDelivery();
}

bool CDelayedDirectoryChangeHandler::PostWatchStopped(const std::string& directory) {
    if (filterFlags_ & NF_NO_WATCH_STOPPED)
        return false;
    if (stopDelivered_)
        ::ResetEvent(stopDelivered_.get());
    return PostRecord(kWatchStopped, 0, directory, nullptr);
}

// Waits in 5000 ms slices until the delivering thread has run the real On_WatchStopped. Gives up
// only when that cannot happen any more: the delivery point has no window or thread left to take
// the queue. A WM_QUIT met while dispatching is kept and posted again once the wait is over.
bool CDelayedDirectoryChangeHandler::WaitForStopDelivery() {
    if (!stopDelivered_)
        return false;
    HANDLE event = stopDelivered_.get();
    QuitKeeper quit;
    for (;;) {
        const DWORD result = pumpWhileWaiting_ ? WaitDispatchingMessages(event, 5000, quit)
                                               : ::WaitForSingleObject(event, 5000);
        if (result == WAIT_OBJECT_0)
            return true;
        if (result == WAIT_FAILED || sender_ == nullptr || !sender_->IsDeliveryPointAlive())
            return false;
    }
}

// ---- delivery (delivering thread) ----

void CDelayedDirectoryChangeHandler::CallRealHandler(const CDirChangeNotification* record,
                                                     CDirectoryChangeHandler* handler) {
    switch (record->kind) {
    case kFileAdded:
        handler->On_FileAdded(record->name);
        break;
    case kFileRemoved:
        handler->On_FileRemoved(record->name);
        break;
    case kFileModified:
        handler->On_FileModified(record->name);
        break;
    case kFileRenamed:
        handler->On_FileNameChanged(record->name, record->newName != nullptr ? record->newName : "");
        break;
    case kReadDirectoryChangesError:
        handler->On_ReadDirectoryChangesError(record->code, record->name);
        break;
    case kWatchStarted:
        handler->On_WatchStarted(record->code, record->name);
        break;
    case kWatchStopped:
        handler->On_WatchStopped(record->name);
        break;
    default:
        break;
    }
}

bool CDelayedDirectoryChangeHandler::PassesFilters(const CDirChangeNotification* record) const {
    HandlerReference handler(AcquireRealHandler());
    return handler.get() != nullptr && PassesFiltersFor(record, handler.get());
}

// An exception of the real handler (or of its filter hook) ends only this delivery: the record is
// released all the same, and a watch-stopped record always sets the event, detached handler or
// not, so the worker's wait ends.
void CDelayedDirectoryChangeHandler::DeliverNotification(CDirChangeNotification* record) {
    if (record == nullptr)
        return;
    HandlerReference handler(AcquireRealHandler());
    try {
        if (handler.get() != nullptr && record->name != nullptr && PassesFiltersFor(record, handler.get()))
            CallRealHandler(record, handler.get());
    } catch (...) {
        if (record->kind == kWatchStopped) {
            ::MessageBeep(0xFFFF);
            ::MessageBeep(0xFFFF);
        }
    }
    if (record->kind == kWatchStopped && stopDelivered_)
        ::SetEvent(stopDelivered_.get());
    handler.reset();
    DisposeNotification(record);
}

void CDirChangeNotification::Deliver() {
    if (owner != nullptr) {
        owner->DeliverNotification(this);
        return;
    }
    Free(this);
}

void CDirChangeNotification::Free(CDirChangeNotification* record) noexcept {
    std::free(record->name);
    std::free(record->newName);
    delete record;
}
