// The registry's old state at the moment a captured process changes it, kept in the tracker's store
// (capture/OldState.h) once per item and process: a value before it is written or deleted, the keys
// a creation adds, the tree a key's deletion removes (DeletedTree.h). The registry detours
// (ProcessCapture.cpp) call it on the program's own thread, inside the capture's own work, before
// the original call, so that what is read is what the change replaces.
//
// Threading: any thread, concurrently; attached once, before the hooks that call it are installed,
// and read-only after that. Nothing here throws: a failure of its own is said once on the tracker's
// channel and the capture goes on without that record, which the tracker reads as "old state
// unknown".
#pragma once

#include "capture/OldState.h"
#include "capture/module/NtCalls.h"
#include "capture/module/OldStateLog.h"
#include "capture/module/RegistryReads.h"
#include "common/UniqueHandle.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace capture {

// What the records are kept with: ntdll, the store, the tracking user's SID (keys are named as the
// log names them), and the channel for what goes wrong.
class RegistryRecords {
public:
    // Says an "incomplete" message on the tracker's channel.
    using SayFunction = void (*)(const std::wstring& reason);

    RegistryRecords() = default;
    RegistryRecords(const RegistryRecords&) = delete;
    RegistryRecords& operator=(const RegistryRecords&) = delete;

    void Attach(const NtCalls* nt, OldStateLog* log, const std::wstring* userSid, SayFunction say);
    // Attached to an active store that is not known to be unwritable.
    bool Usable() const;
    const NtCalls& nt() const { return *nt_; }

    // The log's name of a key's kernel name (CaptureMapKeyName); false for a key the log has no
    // name for, whose old state is not kept either.
    bool MapKey(const std::wstring& kernelName, std::wstring& mapped) const;
    // OldStateLog::ClaimFirstChange.
    bool Claim(const std::wstring& item) const;
    // Appends the record (its sequence already taken); a store that cannot be written is said once.
    bool Write(OldStateRecord& record);
    void SayOutOfMemory();

private:
    void SayOnce(volatile LONG& said, const std::wstring& reason);

    const NtCalls* nt_ = nullptr;
    OldStateLog* log_ = nullptr;
    const std::wstring* userSid_ = nullptr;
    SayFunction say_ = nullptr;
    volatile LONG storeFailureSaid_ = 0;
    volatile LONG memorySaid_ = 0;
};

// The items records are claimed by: registry names compare without regard to letter case.
std::wstring ValueItem(const std::wstring& mappedKey, const std::wstring& valueName);
std::wstring KeyItem(const std::wstring& mappedKey);

// "0xC0000022"
std::wstring StatusText(NTSTATUS status);

class RegistryOldState {
public:
    RegistryOldState() {
        ::InitializeCriticalSection(&twinLock_);
        ::InitializeCriticalSection(&createdLock_);
    }
    ~RegistryOldState() {
        ::DeleteCriticalSection(&createdLock_);
        ::DeleteCriticalSection(&twinLock_);
    }
    RegistryOldState(const RegistryOldState&) = delete;
    RegistryOldState& operator=(const RegistryOldState&) = delete;

    void Attach(const NtCalls* nt, OldStateLog* log, const std::wstring* userSid,
                RegistryRecords::SayFunction say);
    bool Usable() const { return records_.Usable(); }

    // Before NtSetValueKey or NtDeleteValueKey on `key`, whose kernel name is `keyName`.
    void KeepValue(HANDLE key, const std::wstring& keyName, const UNICODE_STRING* valueName) noexcept;

    // Before NtDeleteKey: the key, and every key and value below it.
    void KeepDeletedTree(HANDLE key, const std::wstring& keyName) noexcept;

    // NtCreateKey in two halves. Before the call: which levels of a name of several components did
    // not exist, in case the system creates missing levels on its own; after a call that answered
    // "created", one KeyCreated record for each of them and for the key itself.
    struct CreationProbe {
        bool taken = false;
        uint64_t sequence = 0;
        size_t levels = 0;          // the name's components below the root
        std::vector<size_t> absent; // the levels above the last that did not exist, top first
    };
    CreationProbe ProbeCreation(ACCESS_MASK access, const OBJECT_ATTRIBUTES* attributes) noexcept;
    void KeepCreation(const CreationProbe& probe, HANDLE created) noexcept;

    // What another process changed for this one, read before and after the change (the service
    // manager's writes, ServiceKeys.h): a value's old state, null when it did not exist, and a key
    // that did not exist; `sequence` was taken before the change.
    void KeepReadValue(const std::wstring& keyName, const ValueData* old, const std::wstring& name,
                       uint64_t sequence) noexcept;
    void KeepReadCreation(const std::wstring& keyName, uint64_t sequence) noexcept;

private:
    bool KeyExists(const OBJECT_ATTRIBUTES& attributes, ACCESS_MASK access, const std::wstring& name) const;
    void RecordCreated(const std::wstring& kernelName, uint64_t sequence);
    void ReadOldValue(HANDLE key, const std::wstring& keyName, OldStateRecord& record);
    static void KeepReadData(OldStateRecord& record, ValueData value);
    NTSTATUS QueryThroughTwin(HANDLE key, const std::wstring& keyName, const std::wstring& name,
                              ValueData& value);
    bool TwinServes(HANDLE key, const std::wstring& keyName);
    void NoteCreated(const std::wstring& mapped);
    bool UnderCreatedKey(const std::wstring& mapped);
    void ForgetCreatedKeys();

    RegistryRecords records_;
    // A setup that writes many values through one handle opened to write alone would cost a reopen
    // for each: the last handle opened to read its key is kept, for that handle and that key name.
    // The name tells a handle value the program closed and got again for another key; a key deleted
    // and made again under the name answers "deleted" through the old twin, which is then opened anew.
    struct ReadableTwin {
        HANDLE source = nullptr;
        std::wstring keyName;
        UniqueHandle readable;
    };
    ReadableTwin twin_;
    CRITICAL_SECTION twinLock_;
    // The keys this process recorded as created, folded: a value below one did not exist before the
    // setup, and costs no read. Bounded; forgotten at any key deletion, after which a key of the
    // name may hold what others wrote into it since.
    std::unordered_set<std::wstring> createdKeys_;
    CRITICAL_SECTION createdLock_;
};

} // namespace capture
