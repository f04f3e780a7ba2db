#include "capture/module/DeletedTree.h"

#include "capture/module/RegistryReads.h"

#include <utility>
#include <vector>

namespace capture {

namespace {

constexpr ACCESS_MASK kWalkAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
// A link below the tree is deleted as a link: its target is not walked.
constexpr ULONG kWalkAttributes = OBJ_CASE_INSENSITIVE | OBJ_OPENLINK;

std::wstring Counted(uint64_t count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

// "3 values and 1 key below it were"
std::wstring Items(uint64_t values, uint64_t keys) {
    std::wstring text;
    if (values > 0)
        text = Counted(values, L"value", L"values");
    if (values > 0 && keys > 0)
        text += L" and ";
    if (keys > 0)
        text += Counted(keys, L"key", L"keys");
    return text + (values + keys == 1 ? L" below it was" : L" below it were");
}

// One key on the walk's path from the top: the walk goes depth first, so at most the bound's depth
// of handles is open at once.
struct Frame {
    UniqueHandle key;
    std::wstring kernelName;
    std::wstring mapped;
    unsigned depth = 0;
    ULONG nextSubkey = 0;
};

class TreeWalk {
public:
    TreeWalk(RegistryRecords& records, std::wstring topMapped)
        : records_(records), nt_(records.nt()), top_(std::move(topMapped)) {}

    void Run(HANDLE key, const std::wstring& keyName);

private:
    bool Keeping() const { return kept_ < kTreeItemBound; }
    void Visit(Frame& frame);
    void VisitValues(Frame& frame);
    void KeepValue(const Frame& frame, ValueData& value);
    void CountValuesFrom(const Frame& frame, ULONG index);
    void Descend(std::vector<Frame>& path);
    void Write(OldStateRecord& record);
    void WriteIncomplete();

    RegistryRecords& records_;
    const NtCalls& nt_;
    std::wstring top_;
    std::vector<uint8_t> buffer_; // one for every value read

    uint64_t kept_ = 0; // records written
    uint64_t keptBytes_ = 0;
    uint64_t keysWalked_ = 0;
    bool stopped_ = false; // the walk's own bound was reached: the counts below are a floor
    uint64_t valuesPastItems_ = 0, keysPastItems_ = 0, valuesPastData_ = 0, keysTooDeep_ = 0;
    uint64_t topUnread_ = 0, valuesUnread_ = 0, keysUnread_ = 0, keysUnnamed_ = 0;
    NTSTATUS unreadStatus_ = 0; // the last read that failed
};

void TreeWalk::Write(OldStateRecord& record) {
    record.sequence = OldStateLog::NextSequence();
    records_.Write(record);
    ++kept_;
}

void TreeWalk::Visit(Frame& frame) {
    ++keysWalked_;
    if (!Keeping()) {
        ++keysPastItems_;
    } else if (records_.Claim(KeyItem(frame.mapped))) {
        OldStateRecord record;
        record.kind = OldStateKind::DeletedKey;
        record.presence = OldPresence::Present;
        record.key = frame.mapped;
        Write(record);
    }
    if (!frame.key) {
        ++(frame.depth == 0 ? topUnread_ : keysUnread_);
        return;
    }
    VisitValues(frame);
}

void TreeWalk::CountValuesFrom(const Frame& frame, ULONG index) {
    ULONG values = 0;
    if (CountValues(nt_, frame.key.get(), values) < 0 || values <= index)
        return;
    valuesPastItems_ += values - index;
}

void TreeWalk::KeepValue(const Frame& frame, ValueData& value) {
    if (!records_.Claim(ValueItem(frame.mapped, value.name)))
        return; // this process changed it before: its first record holds the older state
    if (!value.read && value.length <= kMaxKeptValueBytes) {
        ++valuesPastData_;
        return;
    }
    OldStateRecord record;
    record.kind = OldStateKind::DeletedValue;
    record.presence = value.read ? OldPresence::Present : OldPresence::TooLarge;
    record.key = frame.mapped;
    record.name = std::move(value.name);
    record.type = value.type;
    record.size = value.length;
    record.data = std::move(value.data);
    keptBytes_ += value.read ? value.length : 0;
    Write(record);
}

void TreeWalk::VisitValues(Frame& frame) {
    ValueData value;
    for (ULONG index = 0;; ++index) {
        if (!Keeping()) {
            CountValuesFrom(frame, index);
            return;
        }
        const uint64_t dataLeft = kTreeDataBound - keptBytes_;
        const uint64_t limit = dataLeft < kMaxKeptValueBytes ? dataLeft : kMaxKeptValueBytes;
        const NTSTATUS status = EnumerateValue(nt_, frame.key.get(), index, limit, buffer_, value);
        if (status == kStatusNoMoreEntries)
            return;
        if (status < 0) {
            ++valuesUnread_;
            unreadStatus_ = status;
            return;
        }
        KeepValue(frame, value);
    }
}

// Opens the next subkey of the deepest key on the path and visits it, or leaves a key whose
// subkeys are all done.
void TreeWalk::Descend(std::vector<Frame>& path) {
    Frame& parent = path.back();
    std::wstring name;
    const NTSTATUS status = EnumerateSubkey(nt_, parent.key.get(), parent.nextSubkey++, name);
    if (status < 0) {
        if (status != kStatusNoMoreEntries) {
            ++keysUnread_;
            unreadStatus_ = status;
        }
        path.pop_back();
        return;
    }
    if (parent.depth >= kTreeDepthBound) {
        ++keysTooDeep_;
        return;
    }
    Frame child;
    child.kernelName = parent.kernelName + L"\\" + name;
    child.depth = parent.depth + 1;
    if (!records_.MapKey(child.kernelName, child.mapped)) {
        ++keysUnnamed_;
        return;
    }
    NTSTATUS opened = 0;
    child.key = OpenKeyBelow(nt_, parent.key.get(), name, kWalkAccess, kWalkAttributes, opened);
    if (!child.key)
        unreadStatus_ = opened;
    path.push_back(std::move(child)); // `parent` is not used past this point
    Visit(path.back());
    if (!path.back().key)
        path.pop_back();
}

void TreeWalk::Run(HANDLE key, const std::wstring& keyName) {
    std::vector<Frame> path(1);
    NTSTATUS opened = 0;
    // The program's handle was opened to delete and may not read: the same key again, to read.
    path[0].key = OpenKeyBelow(nt_, key, std::wstring(), kWalkAccess, OBJ_CASE_INSENSITIVE, opened);
    if (!path[0].key)
        unreadStatus_ = opened;
    path[0].kernelName = keyName;
    path[0].mapped = top_;
    Visit(path[0]);
    if (!path[0].key)
        path.clear();
    while (!path.empty()) {
        if (keysWalked_ >= kTreeWalkBound) {
            stopped_ = true;
            break;
        }
        Descend(path);
    }
    WriteIncomplete();
}

void TreeWalk::WriteIncomplete() {
    std::vector<std::wstring> parts;
    if (topUnread_ > 0)
        parts.push_back(L"the key itself could not be read (status " + StatusText(unreadStatus_) + L")");
    const std::wstring floor = stopped_ ? L"at least " : L"";
    if (valuesPastItems_ + keysPastItems_ > 0)
        parts.push_back(floor + Items(valuesPastItems_, keysPastItems_) + L" not kept: past the bound of " +
                        std::to_wstring(kTreeItemBound) + L" values and keys");
    if (valuesPastData_ > 0)
        parts.push_back(Items(valuesPastData_, 0) + L" not kept: past the bound of " +
                        std::to_wstring(kTreeDataBound / (1024 * 1024)) + L" MiB of value data");
    if (keysTooDeep_ > 0)
        parts.push_back(Items(0, keysTooDeep_) + L" not kept: past the bound of " +
                        std::to_wstring(kTreeDepthBound) +
                        L" levels, and what lies under such keys was not counted");
    if (valuesUnread_ + keysUnread_ > 0)
        parts.push_back(Items(valuesUnread_, keysUnread_) + L" not read (status " +
                        StatusText(unreadStatus_) + L")");
    if (keysUnnamed_ > 0)
        parts.push_back(Items(0, keysUnnamed_) + L" not kept: the log has no name for them");
    if (stopped_)
        parts.push_back(L"the walk stopped after " + std::to_wstring(kTreeWalkBound) + L" keys");
    if (parts.empty())
        return;
    OldStateRecord record;
    record.kind = OldStateKind::DeletedTreeIncomplete;
    record.presence = OldPresence::Unknown;
    record.key = top_;
    for (const std::wstring& part : parts)
        record.reason += (record.reason.empty() ? L"" : L"; ") + part;
    record.sequence = OldStateLog::NextSequence();
    records_.Write(record);
}

} // namespace

void KeepDeletedTree(RegistryRecords& records, HANDLE key, const std::wstring& keyName,
                     const std::wstring& mapped) {
    TreeWalk walk(records, mapped);
    walk.Run(key, keyName);
}

} // namespace capture
