// The watcher's public operations and its array of watch records. The worker thread is in
// DirectoryChangeWorker.cpp.
//
// Locks: the watcher's lock guards the array, the port, the worker and the stops in flight. A start
// holds it while it waits for the worker's answer; that cannot deadlock because the worker never
// takes it (a watch whose re-read failed is only marked on the worker thread and taken out of the
// array by the next caller that holds the lock) and never waits for anything but the port. A stop
// does not hold it while it waits: the flush it waits for runs user handlers, which may call this
// watcher from any thread.
#include "common/LaterWindows.h"
#include "common/MessagePumpWait.h"
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"
#include "watcher/WatchPrivileges.h"

#include <algorithm>
#include <mbstring.h>
#include <process.h>

#include <memory>
#include <new>
#include <utility>

namespace {

void GrowWatchArray(std::vector<CDirWatchInfo*>& watches) {
    if (watches.size() == watches.capacity())
        watches.reserve(watches.capacity() < 8 ? 8 : watches.capacity() * 2);
}

bool SameDirectoryName(const std::string& a, const std::string& b) {
    return ::_mbsicmp(reinterpret_cast<const unsigned char*>(a.c_str()),
                      reinterpret_cast<const unsigned char*>(b.c_str())) == 0;
}

// A failed call that left no error code still has to fail the watch.
DWORD ErrorOr(DWORD error, DWORD fallback) {
    return error != 0 ? error : fallback;
}

} // namespace

const WatcherOsCalls& DefaultWatcherOsCalls() {
    using CancelIoExFunction = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
    static const WatcherOsCalls systemCalls = {
        &::CreateIoCompletionPort, &::PostQueuedCompletionStatus,
        &::ReadDirectoryChangesW,  &::_beginthreadex,
        &GrowWatchArray,           Kernel32Function<CancelIoExFunction>("CancelIoEx"),
    };
    return systemCalls;
}

CDirectoryChangeWatcher::CDirectoryChangeWatcher(bool useWindowDelivery, DWORD filterFlags)
    : useWindowDelivery_(useWindowDelivery),
      filterFlags_(filterFlags != 0 ? filterFlags : NF_MATCH_FILE_NAME) {}

CDirectoryChangeWatcher::~CDirectoryChangeWatcher() {
    UnwatchAllDirectories();
    port_.reset();
}

DWORD CDirectoryChangeWatcher::SetFilterFlags(DWORD flags) {
    ScopedLock hold(lock_);
    const DWORD previous = filterFlags_;
    filterFlags_ = flags != 0 ? flags : NF_MATCH_FILE_NAME;
    return previous;
}

DWORD CDirectoryChangeWatcher::WatchDirectory(const std::string& directory, DWORD notifyFilter,
                                              CDirectoryChangeHandler* handler, BOOL watchSubtree,
                                              const char* includeFilter, const char* excludeFilter) {
    DWORD result;
    try {
        result = StartWatch(directory, notifyFilter, handler, watchSubtree, includeFilter, excludeFilter);
    } catch (const std::bad_alloc&) {
        result = ERROR_OUTOFMEMORY;
    }
    ::SetLastError(result);
    return result;
}

DWORD CDirectoryChangeWatcher::StartWatch(const std::string& directory, DWORD notifyFilter,
                                          CDirectoryChangeHandler* handler, BOOL watchSubtree,
                                          const char* includeFilter, const char* excludeFilter) {
    if (directory.empty() || notifyFilter == 0 || handler == nullptr)
        return ERROR_INVALID_PARAMETER;
    const DWORD attributes = ::GetFileAttributesA(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return ERROR_BAD_PATHNAME;

    // One watch per name: the old one ends completely (its handler hears On_WatchStopped) first.
    if (IsWatchingDirectory(directory))
        UnwatchDirectory(directory);

    EnableWatchPrivileges();

    // No delete sharing: the watched directory itself cannot be deleted or renamed meanwhile.
    UniqueFile directoryHandle(::CreateFileA(directory.c_str(), FILE_LIST_DIRECTORY,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!directoryHandle)
        return ErrorOr(::GetLastError(), ERROR_OPEN_FAILED);

    std::unique_ptr<CDirWatchInfo> record(NewWatchInfo(directoryHandle, directory, handler, notifyFilter,
                                                       watchSubtree, includeFilter, excludeFilter));
    if (!record)
        return ERROR_OUTOFMEMORY;

    if (const DWORD error = ConnectAndStart(record.get())) {
        // A start the worker never answered may still be served: the record stays allocated.
        if (record->IsAbandoned()) {
            CDirWatchInfo* pdi = record.release();
            pdi->GetChangeHandler()->On_WatchStarted(error, directory);
            pdi->ReleaseAbandoned();
        }
        return error;
    }

    // From here the watch runs: the record may only go through the stop protocol.
    CDirWatchInfo* pdi = record.release();
    handler->AttachToWatcher(this);
    if (!AddWatchInfo(pdi)) {
        StopTarget target;
        {
            ScopedLock hold(lock_);
            stopsInFlight_.push_back(::GetCurrentThreadId());
            target = StopTarget{port_.get(), worker_.handle()};
        }
        EndWatch(pdi, target);
        FinishDeferredUnwatchAll();
        return ERROR_OUTOFMEMORY;
    }
    return ERROR_SUCCESS;
}

// The record takes the directory handle over as its constructor stores it; when no record is made,
// the caller's owner still holds the handle and closes it.
CDirWatchInfo* CDirectoryChangeWatcher::NewWatchInfo(UniqueFile& directoryHandle,
                                                     const std::string& directory,
                                                     CDirectoryChangeHandler* handler, DWORD notifyFilter,
                                                     BOOL watchSubtree, const char* includeFilter,
                                                     const char* excludeFilter) {
    DWORD flags;
    {
        ScopedLock hold(lock_);
        flags = filterFlags_;
    }
    CDirWatchInfo* pdi = nullptr;
    try {
        pdi = new (std::nothrow)
            CDirWatchInfo(std::move(directoryHandle), directory, handler, notifyFilter, watchSubtree,
                          useWindowDelivery_, includeFilter, excludeFilter, flags);
    } catch (...) {
        return nullptr;
    }
    if (pdi == nullptr)
        return nullptr;
    // Without its event or its wrapper a record could neither be started nor deliver anything.
    if (!pdi->doneEvent || pdi->GetChangeHandler() == nullptr) {
        delete pdi;
        return nullptr;
    }
    pdi->osCalls = &osCalls_;
    pdi->waitLimits = &waitLimits_;
    return pdi;
}

// Under the watcher's lock, so that the port and the worker are set up once even when two threads
// start watches together. The start wait holds the lock too: every stop request of this watcher
// comes from a holder of this lock, so the worker is free to answer.
DWORD CDirectoryChangeWatcher::ConnectAndStart(CDirWatchInfo* pdi) {
    ScopedLock hold(lock_);
    if (const DWORD error = AssociateWithPort(pdi))
        return error;
    if (!worker_.running()) {
        if (const DWORD error = StartWorker())
            return error;
    }
    return pdi->RequestStart(port_.get(), worker_.handle());
}

// A failed association leaves the port as it was: the worker keeps reading the same one.
DWORD CDirectoryChangeWatcher::AssociateWithPort(CDirWatchInfo* pdi) {
    HANDLE port = osCalls_.createIoCompletionPort(pdi->directoryHandle.get(), port_.get(),
                                                  reinterpret_cast<ULONG_PTR>(pdi), 0);
    if (port == nullptr)
        return ErrorOr(::GetLastError(), ERROR_INVALID_HANDLE);
    if (!port_)
        port_.reset(port);
    return ERROR_SUCCESS;
}

// The thread handle is ours to close, so it stays valid for the final join.
DWORD CDirectoryChangeWatcher::StartWorker() {
    if (!worker_.Start(&WorkerBody, this, osCalls_.beginThread))
        return ErrorOr(::GetLastError(), ERROR_MAX_THRDS_REACHED);
    return ERROR_SUCCESS;
}

BOOL CDirectoryChangeWatcher::UnwatchDirectory(const std::string& directory) {
    CDirWatchInfo* pdi;
    StopTarget target;
    {
        ScopedLock hold(lock_);
        if (!port_)
            return FALSE;
        ReapFailedWatches();
        int index = -1;
        if (!FindWatchInfo(directory, index))
            return FALSE;
        pdi = TakeWatchAt(index, target);
    }
    EndWatch(pdi, target);
    FinishDeferredUnwatchAll();
    return TRUE;
}

BOOL CDirectoryChangeWatcher::UnwatchDirectoriesOfHandler(CDirectoryChangeHandler* handler) {
    int removed = 0;
    // Failed watches of the handler count too: they are its watches until taken out.
    for (;;) {
        CDirWatchInfo* pdi;
        StopTarget target;
        {
            ScopedLock hold(lock_);
            int index = -1;
            if (!FindWatchInfoByHandler(handler, index))
                break;
            pdi = TakeWatchAt(index, target);
        }
        EndWatch(pdi, target);
        ++removed;
    }
    FinishDeferredUnwatchAll();
    return removed > 0 ? TRUE : FALSE;
}

// Records are taken from the first occupied slot each time: handlers that run while this thread
// waits may unwatch (or even watch) on this watcher, and every record must be ended before the
// worker is told to go. A call nested in another one of this thread (from a handler, or from a host
// that destroys its recorder while a stop dispatches messages) ends what is left and returns; the
// worker then ends with the outer call.
BOOL CDirectoryChangeWatcher::UnwatchAllDirectories() {
    {
        ScopedLock hold(lock_);
        if (!worker_.running())
            return FALSE;
    }
    for (;;) {
        CDirWatchInfo* pdi = nullptr;
        StopTarget target;
        {
            ScopedLock hold(lock_);
            for (size_t i = 0; i < watches_.size() && pdi == nullptr; ++i) {
                if (watches_[i] != nullptr)
                    pdi = TakeWatchAt(static_cast<int>(i), target);
            }
        }
        if (pdi != nullptr) {
            EndWatch(pdi, target);
            continue;
        }
        if (EndWorkerWhenNoWatchIsLeft())
            return TRUE;
    }
}

bool CDirectoryChangeWatcher::EndWorkerWhenNoWatchIsLeft() {
    const DWORD self = ::GetCurrentThreadId();
    for (;;) {
        {
            ScopedLock hold(lock_);
            if (!worker_.running()) {
                unwatchAllDeferred_ = false;
                return true;
            }
            if (std::any_of(watches_.begin(), watches_.end(),
                            [](CDirWatchInfo* pdi) { return pdi != nullptr; }))
                return false;
            const auto mine = std::count(stopsInFlight_.begin(), stopsInFlight_.end(), self);
            if (size_t(mine) == stopsInFlight_.size()) {
                if (mine > 0) {
                    unwatchAllDeferred_ = true;
                    return true;
                }
                unwatchAllDeferred_ = false;
                watches_.clear();
                // The worker ends on this packet alone; a post the system refuses is tried again.
                worker_.StopAndJoin(&PostEndPacket, this, 50, false);
                port_.reset();
                return true;
            }
        }
        // Another thread is stopping a watch of this watcher and waits for the worker's answer.
        WaitDispatchingMessages(nullptr, 20);
    }
}

bool CDirectoryChangeWatcher::PostEndPacket(void* watcher) {
    auto* self = static_cast<CDirectoryChangeWatcher*>(watcher);
    return self->osCalls_.postQueuedCompletionStatus(self->port_.get(), 0, 0, nullptr) != FALSE;
}

void CDirectoryChangeWatcher::FinishDeferredUnwatchAll() {
    bool deferred;
    {
        ScopedLock hold(lock_);
        deferred = unwatchAllDeferred_ && std::find(stopsInFlight_.begin(), stopsInFlight_.end(),
                                                    ::GetCurrentThreadId()) == stopsInFlight_.end();
    }
    if (deferred)
        UnwatchAllDirectories();
}

// Also lets go of watches whose re-read failed, so that what the handler's watch count says agrees
// with the answer.
BOOL CDirectoryChangeWatcher::IsWatchingDirectory(const std::string& directory) const {
    ScopedLock hold(lock_);
    const_cast<CDirectoryChangeWatcher*>(this)->ReapFailedWatches();
    int index = -1;
    return FindWatchInfo(directory, index) ? TRUE : FALSE;
}

int CDirectoryChangeWatcher::GetWatchSlot(const std::string& directory) const {
    ScopedLock hold(lock_);
    int index = -1;
    return FindWatchInfo(directory, index) ? index : -1;
}

size_t CDirectoryChangeWatcher::GetWatchSlotCount() const {
    ScopedLock hold(lock_);
    return watches_.size();
}

LONG CDirectoryChangeWatcher::GetAbandonedWatchCount() {
    return CDirWatchInfo::AbandonedCount();
}

DWORD CDirectoryChangeWatcher::GetWorkerThreadId() const {
    ScopedLock hold(lock_);
    return worker_.id();
}

// The first hole, else a new slot at the end. FALSE when the array cannot grow.
BOOL CDirectoryChangeWatcher::AddWatchInfo(CDirWatchInfo* pdi) {
    ScopedLock hold(lock_);
    ReapFailedWatches();
    for (CDirWatchInfo*& slot : watches_) {
        if (slot == nullptr) {
            slot = pdi;
            return TRUE;
        }
    }
    try {
        osCalls_.growWatchArray(watches_);
        watches_.push_back(pdi);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    return TRUE;
}

// Case-insensitive, multibyte-aware, and nothing else: a trailing backslash makes another name. A
// watch whose re-read failed is no longer watching.
bool CDirectoryChangeWatcher::FindWatchInfo(const std::string& directory, int& index) const {
    if (directory.empty())
        return false;
    ScopedLock hold(lock_);
    for (size_t i = 0; i < watches_.size(); ++i) {
        CDirWatchInfo* pdi = watches_[i];
        if (pdi != nullptr && SameDirectoryName(pdi->directory, directory) && !pdi->HasFailed()) {
            index = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

bool CDirectoryChangeWatcher::FindWatchInfoByHandler(const CDirectoryChangeHandler* handler,
                                                     int& index) const {
    ScopedLock hold(lock_);
    for (size_t i = 0; i < watches_.size(); ++i) {
        if (watches_[i] != nullptr && watches_[i]->GetRealChangeHandler() == handler) {
            index = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

CDirWatchInfo* CDirectoryChangeWatcher::TakeWatchAt(int index, StopTarget& target) {
    CDirWatchInfo* pdi = watches_[static_cast<size_t>(index)];
    watches_[static_cast<size_t>(index)] = nullptr;
    stopsInFlight_.push_back(::GetCurrentThreadId());
    target = StopTarget{port_.get(), worker_.handle()};
    return pdi;
}

// The port and the worker stay while the stop is in flight: the worker is not ended before it is
// through. A stop given up still tells the handler (On_WatchStopped, after everything queued before
// it) and lets the handler go, but keeps the record itself.
void CDirectoryChangeWatcher::EndWatch(CDirWatchInfo* pdi, StopTarget target) {
    const bool givenUp = pdi->RequestStop(target.port, target.worker) == CDirWatchInfo::StopOutcome::kGivenUp;
    if (givenUp)
        pdi->PostStopRecordIfUnclaimed();
    pdi->WaitForStopFlush();
    ScopedLock hold(lock_);
    if (CDirectoryChangeHandler* handler = pdi->GetRealChangeHandler())
        handler->ReleaseWatch();
    if (givenUp)
        pdi->ReleaseAbandoned();
    else
        delete pdi;
    const auto entry = std::find(stopsInFlight_.begin(), stopsInFlight_.end(), ::GetCurrentThreadId());
    if (entry != stopsInFlight_.end())
        stopsInFlight_.erase(entry);
}

// Caller threads only, under the lock. A failed record gets no packets any more, so ending it
// needs no request (RequestStop answers at once) and nothing waits.
void CDirectoryChangeWatcher::ReapFailedWatches() {
    for (size_t i = 0; i < watches_.size(); ++i) {
        if (watches_[i] != nullptr && watches_[i]->IsReadyToReap()) {
            StopTarget target;
            CDirWatchInfo* pdi = TakeWatchAt(static_cast<int>(i), target);
            EndWatch(pdi, target);
        }
    }
}
