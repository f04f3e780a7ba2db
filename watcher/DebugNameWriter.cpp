#include "watcher/DebugNameWriter.h"

#include "common/Tick.h"

#include <cwchar>
#include <new>
#include <utility>

DebugNameWriter::DebugNameWriter(size_t maxQueuedUnits)
    : maxQueuedUnits_(maxQueuedUnits), wake_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

DebugNameWriter::~DebugNameWriter() {
    Finish();
}

void DebugNameWriter::Write(const WCHAR* name) {
    if (Queue(name) == QueueResult::kRefused)
        ::OutputDebugStringW(name);
}

size_t DebugNameWriter::DroppedCount() const {
    ScopedLock hold(lock_);
    return dropped_;
}

// The writer is woken only when the queue was empty: while it is behind, it finds the new names
// on its next turn without a signal.
DebugNameWriter::QueueResult DebugNameWriter::Queue(const WCHAR* name) {
    if (!wake_ || (!thread_.running() && !StartThread()))
        return QueueResult::kRefused;
    bool wasEmpty;
    {
        ScopedLock hold(lock_);
        const size_t length = std::wcslen(name) + 1;
        if (queued_.size() + length > maxQueuedUnits_) {
            ++dropped_;
            return QueueResult::kDropped;
        }
        wasEmpty = queued_.empty();
        try {
            queued_.append(name, length);
        } catch (const std::bad_alloc&) {
            return QueueResult::kRefused;
        }
    }
    if (wasEmpty)
        ::SetEvent(wake_.get());
    return QueueResult::kQueued;
}

bool DebugNameWriter::StartThread() {
    return thread_.Start(&ThreadBody, this);
}

// The thread stops writing at the deadline, so the wait for it ends after at most one more write;
// it is taken in slices, the wake repeated at each, in case the thread was between two looks at
// the queue.
void DebugNameWriter::Finish() {
    if (!thread_.running())
        return;
    {
        ScopedLock hold(lock_);
        finishDeadline_ = TickCount64() + kFinishBudgetMs;
    }
    thread_.StopAndJoin(&WakeWriter, this, 5000, true);
    ScopedLock hold(lock_);
    finishDeadline_ = 0;
}

bool DebugNameWriter::WakeWriter(void* writer) {
    return ::SetEvent(static_cast<DebugNameWriter*>(writer)->wake_.get()) != FALSE;
}

void DebugNameWriter::ThreadBody(void* writer) {
    static_cast<DebugNameWriter*>(writer)->Run();
}

void DebugNameWriter::Run() {
    std::wstring names;
    for (;;) {
        bool finishing;
        {
            ScopedLock hold(lock_);
            names.clear();
            names.swap(queued_);
            finishing = finishDeadline_ != 0;
        }
        if (names.empty()) {
            if (finishing)
                return;
            ::WaitForSingleObject(wake_.get(), 5000);
            continue;
        }
        WriteNames(names);
    }
}

void DebugNameWriter::WriteNames(const std::wstring& names) {
    for (size_t at = 0; at < names.size(); at += std::wcslen(names.c_str() + at) + 1) {
        if (FinishIsOverdue()) {
            ScopedLock hold(lock_);
            for (; at < names.size(); at += std::wcslen(names.c_str() + at) + 1)
                ++dropped_;
            return;
        }
        ::OutputDebugStringW(names.c_str() + at);
    }
}

bool DebugNameWriter::FinishIsOverdue() const {
    ScopedLock hold(lock_);
    return finishDeadline_ != 0 && TickCount64() > finishDeadline_;
}
