#include "watcher/DebugNameWriter.h"

#include <cwchar>
#include <new>
#include <process.h>
#include <utility>

DebugNameWriter::DebugNameWriter() : wake_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

DebugNameWriter::~DebugNameWriter() {
    Finish();
}

void DebugNameWriter::Write(const WCHAR* name) {
    if (!Queue(name))
        ::OutputDebugStringW(name);
}

// The writer is woken only when the queue was empty: while it is behind, it finds the new names
// on its next turn without a signal.
bool DebugNameWriter::Queue(const WCHAR* name) {
    if (!wake_ || (!thread_ && !StartThread()))
        return false;
    bool wasEmpty;
    {
        ScopedLock hold(lock_);
        const size_t length = std::wcslen(name) + 1;
        if (queued_.size() + length > kMaxQueuedUnits)
            return false;
        wasEmpty = queued_.empty();
        try {
            queued_.append(name, length);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    if (wasEmpty)
        ::SetEvent(wake_.get());
    return true;
}

bool DebugNameWriter::StartThread() {
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, ThreadProc, this, 0, nullptr);
    thread_.reset(reinterpret_cast<HANDLE>(thread));
    return bool(thread_);
}

// The thread only writes names, so the wait for it always ends; it is taken in slices, the wake
// repeated at each, in case the thread was between two looks at the queue.
void DebugNameWriter::Finish() {
    if (!thread_)
        return;
    {
        ScopedLock hold(lock_);
        finishing_ = true;
    }
    do {
        ::SetEvent(wake_.get());
    } while (::WaitForSingleObject(thread_.get(), 5000) == WAIT_TIMEOUT);
    thread_.reset();
    ScopedLock hold(lock_);
    finishing_ = false;
}

unsigned __stdcall DebugNameWriter::ThreadProc(void* writer) {
    static_cast<DebugNameWriter*>(writer)->Run();
    return 0;
}

void DebugNameWriter::Run() {
    std::wstring names;
    for (;;) {
        bool finishing;
        {
            ScopedLock hold(lock_);
            names.clear();
            names.swap(queued_);
            finishing = finishing_;
        }
        if (names.empty()) {
            if (finishing)
                return;
            ::WaitForSingleObject(wake_.get(), 5000);
            continue;
        }
        for (size_t at = 0; at < names.size(); at += std::wcslen(names.c_str() + at) + 1)
            ::OutputDebugStringW(names.c_str() + at);
    }
}
