// Writes the file names of change notifications to the debugger output, in the order they were
// taken, on a thread of its own. Each OutputDebugStringW is a round trip to the system (and waits
// for a listener, when one is attached), which on the worker thread would hold back the next read
// of a directory in a burst; here it only costs the worker a copy of the name.
//
// Threading: Write is called by one thread (a watcher's worker); Finish by the same thread or by one
// that knows the writer is not used meanwhile. The writer thread is started on the first name and
// ended by Finish, after it has written every name queued before, unless a listener that stopped
// answering keeps that from happening within kFinishBudgetMs: then the rest is dropped.
#pragma once

#include "common/LibraryThread.h"
#include "common/RecursiveLock.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <string>

class DebugNameWriter {
public:
    // Past `maxQueuedUnits` queued UTF-16 units (the writer that far behind: a listener that stopped
    // answering makes each write wait ten seconds) further names are dropped, not waited for.
    explicit DebugNameWriter(size_t maxQueuedUnits = kMaxQueuedUnits);
    ~DebugNameWriter();
    DebugNameWriter(const DebugNameWriter&) = delete;
    DebugNameWriter& operator=(const DebugNameWriter&) = delete;

    // Queues a terminated UTF-16 name. Without a writer thread or the memory to queue it, the name
    // is written here and now.
    void Write(const WCHAR* name);

    // Writes what is queued, then ends the writer thread. The next Write starts a new one.
    void Finish();

    // Names dropped because the writer was too far behind, or could not write them all in time
    // when finishing.
    size_t DroppedCount() const;

    static constexpr size_t kMaxQueuedUnits = 4u << 20; // 8 MiB
    static constexpr ULONGLONG kFinishBudgetMs = 5000;

private:
    enum class QueueResult { kQueued, kDropped, kRefused };

    static void ThreadBody(void* writer);
    static bool WakeWriter(void* writer);
    void Run();
    // Writes the names, or as many as the finish deadline leaves time for.
    void WriteNames(const std::wstring& names);
    bool FinishIsOverdue() const;
    QueueResult Queue(const WCHAR* name);
    bool StartThread();

    const size_t maxQueuedUnits_;
    mutable RecursiveLock lock_;
    // Guarded by lock_: the queued names, each followed by its terminating NUL, and the count of
    // names dropped.
    std::wstring queued_;
    size_t dropped_ = 0;
    // While finishing: when the writer stops writing; 0 otherwise. Guarded by lock_.
    ULONGLONG finishDeadline_ = 0;
    UniqueHandle wake_;
    LibraryThread thread_;
};
