// This process's part of the tracker's store of old state (capture/OldState.h): its own record file,
// opened at the first record, and which items this process has already kept. Any thread; the
// record file is written under a lock, one whole record per write, so that records of two threads
// never interleave.
#pragma once

#include "capture/OldState.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <set>
#include <string>

namespace capture {

class OldStateLog {
public:
    OldStateLog();
    ~OldStateLog();
    OldStateLog(const OldStateLog&) = delete;
    OldStateLog& operator=(const OldStateLog&) = delete;

    // Reads the store's folder from the environment; without it (no tracker, or a process started
    // with an environment of its own) nothing is kept and Active() is false.
    void AttachStore(DWORD processId);
    bool Active() const { return !store_.empty(); }
    const std::wstring& store() const { return store_; }

    // True the first time `item` (a name of the caller's choosing, compared exactly) is claimed in
    // this process: the caller then reads the old state and appends its record.
    bool ClaimFirstChange(const std::wstring& item);
    // Gives a claim back when the change it was taken for did not happen: the next change keeps the
    // item's old state.
    void GiveBack(const std::wstring& item);

    // The order of a record among all processes' records: taken after the old state was read, before
    // the change is made.
    static uint64_t NextSequence();

    // Appends one record, the process id filled in. False when it could not be written; the store
    // then lacks the item, which the tracker reads as "old state unknown".
    bool Append(OldStateRecord& record);

    // Why the record file could not be opened, for a message said once; 0 while it could be.
    DWORD openError() const { return openError_; }

private:
    HANDLE File(); // under lock_

    CRITICAL_SECTION lock_;
    std::wstring store_;
    DWORD processId_ = 0;
    UniqueFile file_; // open for the rest of the process
    DWORD openError_ = 0;
    std::set<std::wstring> claimed_;
};

// Holds `lock` for a scope.
class ScopedCriticalSection {
public:
    explicit ScopedCriticalSection(CRITICAL_SECTION& lock) : lock_(lock) { ::EnterCriticalSection(&lock_); }
    ~ScopedCriticalSection() { ::LeaveCriticalSection(&lock_); }
    ScopedCriticalSection(const ScopedCriticalSection&) = delete;
    ScopedCriticalSection& operator=(const ScopedCriticalSection&) = delete;

private:
    CRITICAL_SECTION& lock_;
};

} // namespace capture
