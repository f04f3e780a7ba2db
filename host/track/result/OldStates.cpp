#include "host/track/result/OldStates.h"

#include "host/track/result/TextEncoding.h"

#include <algorithm>

namespace track {

namespace {

using capture::OldPresence;
using capture::OldStateKind;
using capture::OldStateRecord;

constexpr size_t kLongestKeptName = 255; // one name in a folder

bool HasNul(const std::wstring& text) {
    return text.find(L'\0') != std::wstring::npos;
}

// Text from a record for a line of a report: control characters, which would break the line, shown
// as '?'.
std::string PrintableUtf8(std::wstring text) {
    for (wchar_t& c : text) {
        if (c < 0x20 || c == 0x7F)
            c = L'?';
    }
    return WideToUtf8(text);
}

std::string ReasonOr(const OldStateRecord& record, const std::string& otherwise) {
    return record.reason.empty() ? otherwise : PrintableUtf8(record.reason);
}

Before BeforeOf(OldPresence presence) {
    switch (presence) {
    case OldPresence::Absent:
        return Before::Absent;
    case OldPresence::Present:
        return Before::Present;
    case OldPresence::TooLarge:
        return Before::TooLarge;
    default:
        return Before::Unknown;
    }
}

std::string TooLargeReason(const OldStateRecord& record) {
    return ReasonOr(record, (record.size != 0 ? "it held " + std::to_string(record.size) + " bytes, " : "") +
                                "more than the capture keeps (" +
                                std::to_string(capture::kMaxKeptValueBytes / (1024 * 1024)) + " MB)");
}

bool UsableNamePart(const std::wstring& part) {
    return !part.empty() && part != L"." && part != L".." &&
           part.find_first_of(std::wstring(L"\\/:\0", 4)) == std::wstring::npos;
}

// The copy's name comes from a program of the setup's tree: it must name one file inside the
// store's files folder, directly or in one folder of it, nothing beside or above it.
bool UsableKeptName(const std::wstring& name) {
    if (name.size() > kLongestKeptName)
        return false;
    const size_t separator = name.find(L'\\');
    if (separator == std::wstring::npos)
        return UsableNamePart(name);
    return UsableNamePart(name.substr(0, separator)) && UsableNamePart(name.substr(separator + 1));
}

} // namespace

template <typename Item, typename Key>
void OldStates::KeepFirst(std::map<Key, First<Item>>& items, const Key& key, std::uint64_t sequence,
                          Item item) {
    const auto found = items.find(key);
    if (found == items.end())
        items.emplace(key, First<Item>{sequence, std::move(item)});
    else if (sequence < found->second.sequence)
        found->second = First<Item>{sequence, std::move(item)};
}

template <typename Item, typename Key>
std::vector<Item> OldStates::InOrder(const std::map<Key, First<Item>>& items) {
    std::vector<const First<Item>*> firsts;
    for (const auto& entry : items)
        firsts.push_back(&entry.second);
    std::stable_sort(firsts.begin(), firsts.end(),
                     [](const First<Item>* a, const First<Item>* b) { return a->sequence < b->sequence; });
    std::vector<Item> ordered;
    for (const First<Item>* first : firsts)
        ordered.push_back(first->item);
    return ordered;
}

void OldStates::Add(const std::vector<OldStateRecord>& records) {
    for (const OldStateRecord& record : records)
        Add(record);
}

void OldStates::Add(const OldStateRecord& record) {
    // A NUL would cut the name short where the system reads it, and so name another item.
    if (record.key.empty() || HasNul(record.key) || HasNul(record.name)) {
        ++passedOver_;
        return;
    }
    switch (record.kind) {
    case OldStateKind::Value:
    case OldStateKind::DeletedValue:
        AddValue(record);
        break;
    case OldStateKind::KeyCreated:
    case OldStateKind::DeletedKey:
        AddKey(record);
        break;
    case OldStateKind::File:
        AddFile(record);
        break;
    case OldStateKind::DeletedTreeIncomplete:
        AddGap(record);
        break;
    default:
        ++passedOver_;
        break;
    }
}

void OldStates::AddValue(const OldStateRecord& record) {
    OldValue value{record.key, record.name, OldData{}, record.processId};
    // A value below a deleted key existed: it is kept whole, or it was too large to be.
    Before state = BeforeOf(record.presence);
    if (record.kind == OldStateKind::DeletedValue)
        state = state == Before::TooLarge ? Before::TooLarge : Before::Present;
    value.before.state = state;
    if (state == Before::Present) {
        value.before.type = record.type;
        value.before.bytes = record.data;
    } else if (state == Before::TooLarge) {
        value.before.type = record.type;
        value.before.reason = TooLargeReason(record);
    } else if (state == Before::Unknown) {
        value.before.reason = ReasonOr(record, "the capture could not read it");
    }
    KeepFirst(values_, std::make_pair(UpperOrdinal(record.key), UpperOrdinal(record.name)), record.sequence,
              std::move(value));
}

void OldStates::AddKey(const OldStateRecord& record) {
    KeepFirst(keys_, UpperOrdinal(record.key), record.sequence,
              OldKey{record.key, record.kind == OldStateKind::DeletedKey});
}

void OldStates::AddFile(const OldStateRecord& record) {
    OldFile file;
    file.path = record.key;
    file.state = BeforeOf(record.presence);
    if (file.state == Before::Present || file.state == Before::TooLarge) {
        file.facts = FileFacts{true, record.size, record.time, record.type};
        if (file.state == Before::TooLarge)
            file.reason = ReasonOr(record, "it is larger than the size up to which old content is kept");
        else if (record.name.empty())
            file.reason = ReasonOr(record, "no copy was made");
        else if (!UsableKeptName(record.name))
            file.reason = "the name given for its copy does not name a file in the store";
        else
            file.keptName = record.name;
    } else if (file.state == Before::Unknown) {
        file.reason = ReasonOr(record, "the capture could not look at it");
    }
    KeepFirst(files_, UpperOrdinal(record.key), record.sequence, std::move(file));
}

void OldStates::AddGap(const OldStateRecord& record) {
    const std::string line = "the old state of the deleted key " + PrintableUtf8(record.key) +
                             " is not wholly kept: " + ReasonOr(record, "no reason given");
    if (std::find(gaps_.begin(), gaps_.end(), line) == gaps_.end())
        gaps_.push_back(line);
}

const OldValue* OldStates::FindValue(const std::wstring& key, const std::wstring& name) const {
    const auto found = values_.find(std::make_pair(UpperOrdinal(key), UpperOrdinal(name)));
    return found == values_.end() ? nullptr : &found->second.item;
}

const OldFile* OldStates::FindFile(const std::wstring& path) const {
    const auto found = files_.find(UpperOrdinal(path));
    return found == files_.end() ? nullptr : &found->second.item;
}

std::vector<OldValue> OldStates::Values() const {
    return InOrder(values_);
}

std::vector<OldKey> OldStates::Keys() const {
    return InOrder(keys_);
}

std::vector<OldFile> OldStates::Files() const {
    return InOrder(files_);
}

} // namespace track
