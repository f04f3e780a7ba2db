// Writes the file names of change notifications to the debugger output, in the order they were
// taken, on a thread of its own. Each OutputDebugStringW is a round trip to the system (and waits
// for a listener, when one is attached), which on the worker thread would hold back the next read
// of a directory in a burst; here it only costs the worker a copy of the name.
//
// Threading: Write is called by one thread (a watcher's worker); Finish by the same thread or by one
// that knows the writer is not used meanwhile. The writer thread is started on the first name and
// ended by Finish, after it has written every name queued before.
#pragma once

#include "common/RecursiveLock.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <string>

class DebugNameWriter {
public:
    DebugNameWriter();
    ~DebugNameWriter();
    DebugNameWriter(const DebugNameWriter&) = delete;
    DebugNameWriter& operator=(const DebugNameWriter&) = delete;

    // Queues a terminated UTF-16 name. When it cannot be queued (no thread, no memory, or the
    // writer is this far behind) it is written here and now: a name is never dropped.
    void Write(const WCHAR* name);

    // Writes what is queued, then ends the writer thread. The next Write starts a new one.
    void Finish();

private:
    static unsigned __stdcall ThreadProc(void* writer);
    void Run();
    bool Queue(const WCHAR* name);
    bool StartThread();

    // Past this many queued UTF-16 units (8 MiB) names are written by the caller.
    static constexpr size_t kMaxQueuedUnits = 4u << 20;

    RecursiveLock lock_;
    // Queued names, each followed by its terminating NUL. Guarded by lock_.
    std::wstring queued_;
    bool finishing_ = false;
    UniqueHandle wake_;
    UniqueHandle thread_;
};
