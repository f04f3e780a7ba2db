#include "capture/module/RegistryOldState.h"

#include "capture/module/DeletedTree.h"
#include "capture/module/KeyName.h"
#include "capture/module/RegistryReads.h"
#include "driver/CaptureLine.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace capture {

namespace {

constexpr size_t kMaxCreatedKeysNoted = 4096;

CaptureText TextOf(const std::wstring& text) {
    return CaptureText{reinterpret_cast<const uint16_t*>(text.data()), static_cast<uint32_t>(text.size())};
}

// Upper case as the system's invariant table has it, which is how the registry compares names; a
// text the table cannot map keeps its non-ASCII letters as they are.
std::wstring Folded(const std::wstring& text) {
    std::wstring folded(text);
    if (text.empty())
        return folded;
    const int length = static_cast<int>(text.size());
    if (::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(), length, &folded[0], length) == length)
        return folded;
    folded = text;
    for (wchar_t& unit : folded) {
        if (unit >= L'a' && unit <= L'z')
            unit = static_cast<wchar_t>(unit - L'a' + L'A');
    }
    return folded;
}

// `name` with its last component as `key`'s own record spells it. The undo makes a deleted key
// again under the name kept here, so it must be the machine's spelling, not the kernel's.
std::wstring WithStoredLastName(const NtCalls& nt, HANDLE key, const std::wstring& name) {
    const size_t last = name.rfind(L'\\');
    if (last == std::wstring::npos || nt.queryKey == nullptr)
        return name;
    std::wstring own;
    // A handle opened to delete alone (as RegDeleteKey opens one) may not ask: the same key again.
    if (QueryOwnKeyName(nt, key, own) < 0) {
        NTSTATUS opened = 0;
        const UniqueHandle readable =
            OpenKeyBelow(nt, key, std::wstring(), KEY_QUERY_VALUE, OBJ_CASE_INSENSITIVE, opened);
        if (!readable || QueryOwnKeyName(nt, readable.get(), own) < 0)
            return name;
    }
    const std::wstring given = name.substr(last + 1);
    // A hive's root key keeps a name of the hive's own making, unlike the one it is known by.
    if (own == given || Folded(own) != Folded(given))
        return name;
    return name.substr(0, last + 1) + own;
}

// The kernel name `levels` components above `name`; empty when it has fewer.
std::wstring AncestorOf(std::wstring name, size_t levels) {
    for (; levels > 0; --levels) {
        const size_t separator = name.rfind(L'\\');
        if (separator == std::wstring::npos || separator == 0)
            return std::wstring();
        name.resize(separator);
    }
    return name;
}

// Where each component of a key name relative to a root ends, empty components (a leading or
// doubled separator) left out.
std::vector<size_t> ComponentEnds(const std::wstring& name) {
    std::vector<size_t> ends;
    size_t start = 0;
    for (size_t at = 0; at <= name.size(); ++at) {
        if (at < name.size() && name[at] != L'\\')
            continue;
        if (at > start)
            ends.push_back(at);
        start = at + 1;
    }
    return ends;
}

} // namespace

void RegistryRecords::Attach(const NtCalls* nt, OldStateLog* log, const std::wstring* userSid,
                             SayFunction say) {
    nt_ = nt;
    log_ = log;
    userSid_ = userSid;
    say_ = say;
}

bool RegistryRecords::Usable() const {
    return log_ != nullptr && log_->Active() && log_->openError() == 0;
}

bool RegistryRecords::MapKey(const std::wstring& kernelName, std::wstring& mapped) const {
    // A mapped name is never longer than the kernel name it comes from.
    std::vector<uint16_t> output(kernelName.size() + 64);
    uint32_t length = 0;
    if (CaptureMapKeyName(TextOf(kernelName), TextOf(*userSid_), output.data(),
                          static_cast<uint32_t>(output.size()), &length) != CAPTURE_OK)
        return false;
    mapped.assign(reinterpret_cast<const wchar_t*>(output.data()), length);
    return true;
}

bool RegistryRecords::Claim(const std::wstring& item) const {
    return log_->ClaimFirstChange(item);
}

bool RegistryRecords::Write(OldStateRecord& record) {
    if (log_->Append(record))
        return true;
    const DWORD error = log_->openError() != 0 ? log_->openError() : ::GetLastError();
    SayOnce(storeFailureSaid_,
            L"old state cannot be kept: the store cannot be written (error " + std::to_wstring(error) + L")");
    return false;
}

void RegistryRecords::SayOutOfMemory() {
    try {
        SayOnce(memorySaid_, L"old state cannot be kept: out of memory");
    } catch (...) {
    }
}

void RegistryRecords::SayOnce(volatile LONG& said, const std::wstring& reason) {
    if (::InterlockedExchange(&said, 1) == 0 && say_ != nullptr)
        say_(reason);
}

std::wstring ValueItem(const std::wstring& mappedKey, const std::wstring& valueName) {
    // No mapped key holds a line feed (the log refuses them), so the pair reads back one way only.
    return L"V:" + Folded(mappedKey) + L"\n" + Folded(valueName);
}

std::wstring KeyItem(const std::wstring& mappedKey) {
    return L"K:" + Folded(mappedKey);
}

std::wstring StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(status)));
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

void RegistryOldState::Attach(const NtCalls* nt, OldStateLog* log, const std::wstring* userSid,
                              RegistryRecords::SayFunction say) {
    records_.Attach(nt, log, userSid, say);
}

// Reads through the kept twin of `key` when it is one, else through a new one, kept in its place.
NTSTATUS RegistryOldState::QueryThroughTwin(HANDLE key, const std::wstring& keyName, const std::wstring& name,
                                            ValueData& value) {
    const NtCalls& nt = records_.nt();
    const ScopedCriticalSection locked(twinLock_);
    if (twin_.readable && twin_.source == key && twin_.keyName == keyName) {
        const NTSTATUS status = QueryValue(nt, twin_.readable.get(), name, kMaxKeptValueBytes, value);
        if (status != kStatusKeyDeleted)
            return status;
    }
    // A handle opened to write alone (KEY_SET_VALUE, KEY_WRITE): the same key again, to read.
    NTSTATUS opened = 0;
    UniqueHandle readable =
        OpenKeyBelow(nt, key, std::wstring(), KEY_QUERY_VALUE, OBJ_CASE_INSENSITIVE, opened);
    if (!readable)
        return opened;
    const NTSTATUS status = QueryValue(nt, readable.get(), name, kMaxKeptValueBytes, value);
    twin_.source = key;
    twin_.keyName = keyName;
    twin_.readable = std::move(readable);
    return status;
}

bool RegistryOldState::TwinServes(HANDLE key, const std::wstring& keyName) {
    const ScopedCriticalSection locked(twinLock_);
    return twin_.readable && twin_.source == key && twin_.keyName == keyName;
}

void RegistryOldState::ReadOldValue(HANDLE key, const std::wstring& keyName, OldStateRecord& record) {
    const NtCalls& nt = records_.nt();
    ValueData value;
    // A handle that has a twin was found unreadable: asking it again would only be refused again.
    NTSTATUS status = kStatusAccessDenied;
    if (!TwinServes(key, keyName))
        status = QueryValue(nt, key, record.name, kMaxKeptValueBytes, value);
    if (status == kStatusAccessDenied)
        status = QueryThroughTwin(key, keyName, record.name, value);
    if (status == kStatusNameNotFound) {
        record.presence = OldPresence::Absent;
    } else if (status < 0) {
        record.presence = OldPresence::Unknown;
        record.reason = L"the value could not be read (status " + StatusText(status) + L")";
    } else {
        KeepReadData(record, std::move(value));
    }
}

// A value's old state as read: its type and data, or TooLarge where the data was past the bound.
void RegistryOldState::KeepReadData(OldStateRecord& record, ValueData value) {
    record.presence = value.read ? OldPresence::Present : OldPresence::TooLarge;
    record.type = value.type;
    record.size = value.length;
    record.data = std::move(value.data);
}

void RegistryOldState::KeepValue(HANDLE key, const std::wstring& keyName,
                                 const UNICODE_STRING* valueName) noexcept {
    try {
        std::wstring name, mapped;
        if (!records_.Usable() || keyName.empty() || !CopyCallerText(valueName, name) ||
            !records_.MapKey(keyName, mapped) || !records_.Claim(ValueItem(mapped, name)))
            return;
        OldStateRecord record;
        record.kind = OldStateKind::Value;
        record.key = mapped;
        record.name = name;
        if (UnderCreatedKey(mapped))
            record.presence = OldPresence::Absent;
        else
            ReadOldValue(key, keyName, record);
        record.sequence = OldStateLog::NextSequence();
        records_.Write(record);
    } catch (...) {
        records_.SayOutOfMemory();
    }
}

void RegistryOldState::KeepDeletedTree(HANDLE key, const std::wstring& keyName) noexcept {
    try {
        ForgetCreatedKeys();
        if (!records_.Usable() || keyName.empty())
            return;
        std::wstring mapped;
        const std::wstring spelled = WithStoredLastName(records_.nt(), key, keyName);
        if (!records_.MapKey(spelled, mapped))
            return;
        capture::KeepDeletedTree(records_, key, spelled, mapped);
    } catch (...) {
        records_.SayOutOfMemory();
    }
}

bool RegistryOldState::KeyExists(const OBJECT_ATTRIBUTES& attributes, ACCESS_MASK access,
                                 const std::wstring& name) const {
    NTSTATUS status = 0;
    // Looked for in the view of the registry the program asked for.
    const ACCESS_MASK view = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    OpenKeyBelow(records_.nt(), attributes.RootDirectory, name, KEY_QUERY_VALUE | view, attributes.Attributes,
                 status);
    // Any other answer (a key the user may not read, say) leaves the level as existing: no record
    // is better than one that calls an older key new.
    return status != kStatusNameNotFound && status != kStatusPathNotFound;
}

RegistryOldState::CreationProbe
RegistryOldState::ProbeCreation(ACCESS_MASK access, const OBJECT_ATTRIBUTES* attributes) noexcept {
    CreationProbe probe;
    try {
        if (!records_.Usable() || !IsReadable(attributes, sizeof *attributes))
            return probe;
        const OBJECT_ATTRIBUTES given = *attributes;
        std::wstring name;
        if (!CopyCallerText(given.ObjectName, name))
            return probe;
        const std::vector<size_t> ends = ComponentEnds(name);
        probe.levels = ends.size();
        // Windows, and Wine 8, create one level a call and fail a name whose parent is missing; a
        // system that made the missing levels silently would leave them without a record. The key
        // itself is looked for first: when it exists nothing is created, and one open is the cost.
        if (ends.size() > 1 && !KeyExists(given, access, name)) {
            for (size_t level = ends.size() - 1; level-- > 0;) {
                if (KeyExists(given, access, name.substr(0, ends[level])))
                    break;
                probe.absent.insert(probe.absent.begin(), level);
            }
        }
        probe.taken = true;
        probe.sequence = OldStateLog::NextSequence();
    } catch (...) {
        probe = CreationProbe();
        records_.SayOutOfMemory();
    }
    return probe;
}

void RegistryOldState::RecordCreated(const std::wstring& kernelName, uint64_t sequence) {
    std::wstring mapped;
    if (kernelName.empty() || !records_.MapKey(kernelName, mapped) || !records_.Claim(KeyItem(mapped)))
        return;
    OldStateRecord record;
    record.kind = OldStateKind::KeyCreated;
    record.presence = OldPresence::Absent;
    record.key = mapped;
    record.sequence = sequence;
    if (records_.Write(record))
        NoteCreated(mapped);
}

void RegistryOldState::NoteCreated(const std::wstring& mapped) {
    std::wstring folded = Folded(mapped);
    const ScopedCriticalSection locked(createdLock_);
    if (createdKeys_.size() < kMaxCreatedKeysNoted)
        createdKeys_.insert(std::move(folded));
}

bool RegistryOldState::UnderCreatedKey(const std::wstring& mapped) {
    std::wstring folded = Folded(mapped);
    const ScopedCriticalSection locked(createdLock_);
    if (createdKeys_.empty())
        return false;
    for (;;) {
        if (createdKeys_.count(folded) != 0)
            return true;
        const size_t separator = folded.rfind(L'\\');
        if (separator == std::wstring::npos)
            return false;
        folded.resize(separator);
    }
}

void RegistryOldState::ForgetCreatedKeys() {
    std::unordered_set<std::wstring> forgotten;
    const ScopedCriticalSection locked(createdLock_);
    forgotten.swap(createdKeys_);
}

void RegistryOldState::KeepCreation(const CreationProbe& probe, HANDLE created) noexcept {
    try {
        if (!probe.taken || probe.levels == 0 || !records_.Usable())
            return;
        const std::wstring kernelName = QueryKeyName(records_.nt().queryKey, created);
        if (kernelName.empty())
            return;
        for (const size_t level : probe.absent)
            RecordCreated(AncestorOf(kernelName, probe.levels - 1 - level), probe.sequence);
        RecordCreated(kernelName, probe.sequence);
    } catch (...) {
        records_.SayOutOfMemory();
    }
}

void RegistryOldState::KeepReadValue(const std::wstring& keyName, const ValueData* old,
                                     const std::wstring& name, uint64_t sequence) noexcept {
    try {
        std::wstring mapped;
        if (!records_.Usable() || !records_.MapKey(keyName, mapped) ||
            !records_.Claim(ValueItem(mapped, name)))
            return;
        OldStateRecord record;
        record.kind = OldStateKind::Value;
        record.key = mapped;
        record.name = name;
        record.presence = OldPresence::Absent;
        if (old != nullptr)
            KeepReadData(record, *old);
        record.sequence = sequence;
        records_.Write(record);
    } catch (...) {
        records_.SayOutOfMemory();
    }
}

void RegistryOldState::KeepReadCreation(const std::wstring& keyName, uint64_t sequence) noexcept {
    try {
        if (records_.Usable())
            RecordCreated(keyName, sequence);
    } catch (...) {
        records_.SayOutOfMemory();
    }
}

} // namespace capture
