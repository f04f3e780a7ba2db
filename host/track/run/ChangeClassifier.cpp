#include "host/track/run/ChangeClassifier.h"

#include "host/track/result/Base64.h"
#include "host/track/result/NoiseReason.h"
#include "host/track/result/RegistryNoise.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <set>
#include <utility>

namespace track {

namespace {

using ValueKey = std::pair<std::wstring, std::wstring>; // upper-cased key and name

ValueKey KeyOf(const std::wstring& key, const std::wstring& name) {
    return {UpperOrdinal(key), UpperOrdinal(name)};
}

// "HKLM\Software\X\Name" -> "HKLM\Software\X", "Name", as the library splits a value's path.
bool SplitValuePath(const std::wstring& path, std::wstring& key, std::wstring& name) {
    const size_t separator = path.rfind(L'\\');
    if (separator == std::wstring::npos || separator == 0)
        return false;
    key = path.substr(0, separator);
    name = path.substr(separator + 1);
    return true;
}

ValueChange CompareWithOld(const RegistryValue& value, const OldData& before, const CurrentValue& current) {
    if (current.state == CurrentValue::State::Present)
        return current.type == before.type && current.bytes == before.bytes ? ValueChange::Unchanged
                                                                            : ValueChange::Changed;
    // Gone or unreadable since the library read it back: its reading stands for what it holds.
    const auto libraryBytes = DecodeBase64(value.base64);
    if (!libraryBytes)
        return ValueChange::Changed; // written, and nothing shows it holds its old data
    return value.type == before.type && RegistryBytesOf(value.type, *libraryBytes) == before.bytes
               ? ValueChange::Unchanged
               : ValueChange::Changed;
}

void ClassifyValue(RegistryValue& value, const OldStates& old, CurrentState& now, std::set<ValueKey>& seen) {
    value.change = ValueChange::OldUnknown;
    value.before = OldData{Before::Unknown, 0, {}, kNoOldStateKept};
    std::wstring key, name;
    if (!SplitValuePath(AnsiToWide(value.path), key, name))
        return;
    seen.insert(KeyOf(key, name));
    const OldValue* found = old.FindValue(key, name);
    if (found == nullptr)
        return;
    value.before = found->before;
    if (found->before.state == Before::Absent)
        value.change = ValueChange::New;
    else if (found->before.state == Before::Present)
        value.change = CompareWithOld(value, found->before, now.ReadValue(key, name));
}

// A path the capture gave, in the library's form: the ANSI code page, with the real name kept
// beside it when that page cannot hold it.
std::string LibraryForm(const std::wstring& path, TrackResult& result) {
    const std::string ansi = WideToAnsi(path);
    if (AnsiToWide(ansi) != path)
        result.realNames[ansi] = WideToUtf8(path);
    return ansi;
}

// The values that existed before and are gone, and those the setup made and removed again.
void AddValuesGone(const OldStates& old, CurrentState& now, const std::set<ValueKey>& seen,
                   TrackResult& result) {
    for (const OldValue& value : old.Values()) {
        const Before state = value.before.state;
        if (seen.count(KeyOf(value.key, value.name)) != 0 || state == Before::Unknown ||
            now.ReadValue(value.key, value.name).state != CurrentValue::State::Absent)
            continue;
        RegistryValue gone;
        gone.path = LibraryForm(value.key + L"\\" + value.name, result);
        gone.before = value.before;
        if (state == Before::Absent) {
            gone.change = ValueChange::New;
            result.eliminatedRegistry.push_back(EliminatedValue{gone, kWrittenAndDeleted});
            continue;
        }
        gone.type = value.before.type;
        gone.change = ValueChange::Deleted;
        gone.processId = value.processId;
        const std::string noise = RegistryNoiseReason(gone.path);
        if (noise.empty())
            result.registry.push_back(gone);
        else
            result.eliminatedRegistry.push_back(EliminatedValue{gone, noise});
    }
}

void ClassifyKeys(const OldStates& old, CurrentState& now, TrackResult& result) {
    for (const OldKey& key : old.Keys()) {
        const bool noise = !RegistryNoiseReason(WideToAnsi(key.key) + "\\").empty();
        const Presence presence = now.Key(key.key);
        if (!key.existed && presence == Presence::Exists)
            (noise ? result.createdNoiseKeys : result.createdKeys).push_back(WideToUtf8(key.key));
        else if (key.existed && presence == Presence::Gone)
            (noise ? result.deletedNoiseKeys : result.deletedKeys).push_back(WideToUtf8(key.key));
    }
}

bool Existed(const OldFile* file) {
    return file != nullptr && (file->state == Before::Present || file->state == Before::TooLarge);
}

ChangedFile Described(const OldFile& file, const std::string& utf8Path, const CurrentFile& current,
                      const std::wstring& keptFolder, CurrentState& now) {
    ChangedFile changed;
    changed.path = utf8Path;
    changed.before = file.facts;
    if (current.presence == Presence::Exists) {
        changed.after = current.facts;
        changed.after.exists = true;
    }
    if (file.keptName.empty()) {
        changed.notKept = "old content not kept: " + file.reason;
    } else if (keptFolder.empty() ||
               now.File(keptFolder + L"\\" + file.keptName).presence != Presence::Exists) {
        changed.notKept = "old content not kept: its copy is missing from the store";
    } else {
        changed.kept = WideToUtf8(keptFolder + L"\\" + file.keptName);
    }
    return changed;
}

// Files the library reports as added that existed before: the setup replaced them.
void ClassifyAddedFiles(const OldStates& old, const std::wstring& keptFolder, CurrentState& now,
                        TrackResult& result, std::set<std::wstring>& named) {
    std::vector<std::string> added;
    for (const std::string& path : result.files) {
        const auto real = result.realNames.find(path);
        const std::wstring wide =
            real != result.realNames.end() ? Utf8ToWide(real->second) : AnsiToWide(path);
        named.insert(UpperOrdinal(wide));
        const OldFile* file = old.FindFile(wide);
        if (Existed(file))
            result.changedFiles.push_back(
                Described(*file, WideToUtf8(wide), now.File(wide), keptFolder, now));
        else
            added.push_back(path);
    }
    result.files = std::move(added);
}

// Files the setup changed in place or removed: the library records names that appear, so these
// are known from the capture's records alone.
void ClassifyOtherFiles(const OldStates& old, const std::wstring& keptFolder, CurrentState& now,
                        TrackResult& result, const std::set<std::wstring>& named) {
    for (const OldFile& file : old.Files()) {
        if (!Existed(&file) || named.count(UpperOrdinal(file.path)) != 0)
            continue;
        const CurrentFile current = now.File(file.path);
        if (current.presence == Presence::Gone) {
            if (!HasNoiseFragment(WideToAnsi(file.path)))
                result.removedFiles.push_back(
                    Described(file, WideToUtf8(file.path), current, keptFolder, now));
        } else if (current.presence == Presence::Exists &&
                   (current.facts.size != file.facts.size ||
                    current.facts.writeTime != file.facts.writeTime) &&
                   !now.IsNoiseFile(file.path)) {
            result.changedFiles.push_back(Described(file, WideToUtf8(file.path), current, keptFolder, now));
        }
    }
}

} // namespace

std::vector<std::uint8_t> RegistryBytesOf(std::uint32_t type, const std::vector<std::uint8_t>& libraryBytes) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
        return libraryBytes;
    const std::wstring wide = AnsiToWide(std::string(libraryBytes.begin(), libraryBytes.end()));
    std::vector<std::uint8_t> bytes;
    bytes.reserve(wide.size() * 2);
    for (const wchar_t unit : wide) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return bytes;
}

void ClassifyChanges(const OldStates& old, const std::wstring& keptFolder, CurrentState& now,
                     TrackResult& result) {
    std::set<ValueKey> seen;
    for (RegistryValue& value : result.registry)
        ClassifyValue(value, old, now, seen);
    for (EliminatedValue& noise : result.eliminatedRegistry)
        ClassifyValue(noise.value, old, now, seen);
    AddValuesGone(old, now, seen, result);
    ClassifyKeys(old, now, result);

    std::set<std::wstring> named;
    ClassifyAddedFiles(old, keptFolder, now, result, named);
    for (EliminatedFile& file : result.eliminated) {
        const auto real = result.realNames.find(file.path);
        const std::wstring wide =
            real != result.realNames.end() ? Utf8ToWide(real->second) : AnsiToWide(file.path);
        named.insert(UpperOrdinal(wide));
        const OldFile* record = old.FindFile(wide);
        file.madeBySetup = record != nullptr && record->state == Before::Absent;
    }
    ClassifyOtherFiles(old, keptFolder, now, result, named);
    result.oldStateGaps.insert(result.oldStateGaps.end(), old.gaps().begin(), old.gaps().end());
}

} // namespace track
