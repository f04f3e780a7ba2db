#include "host/track/output/UndoPlan.h"

#include "host/track/output/Reports.h"
#include "host/track/result/Base64.h"
#include "host/track/result/TextEncoding.h"

#include <algorithm>

namespace track {

namespace {

size_t Depth(const std::string& path) {
    return static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
}

// The lines of one part of the plan, under a comment that names the part.
class PlanWriter {
public:
    explicit PlanWriter(std::vector<UndoPlanLine>& lines) : lines_(lines) {}

    void Part(const std::string& title) { Comment(title); }
    void Comment(const std::string& text) {
        UndoPlanLine line;
        line.comment = text;
        lines_.push_back(std::move(line));
    }
    void Item(UndoItem item) {
        UndoPlanLine line;
        line.isItem = true;
        line.item = std::move(item);
        lines_.push_back(std::move(line));
    }
    void Leave(const std::string& target, const std::string& reason) {
        UndoItem item;
        item.action = UndoAction::Leave;
        item.path = target;
        item.reason = reason;
        Item(std::move(item));
    }

private:
    std::vector<UndoPlanLine>& lines_;
};

// A value's key and name, in UTF-8; false when the recorded path names no key.
bool SplitValuePath(const TrackResult& result, const RegistryValue& value, std::string& key,
                    std::string& name) {
    const std::string path = Utf8Path(result, value.path);
    const size_t slash = path.rfind('\\');
    std::string root, subKey;
    if (slash == std::string::npos || !SplitRegistryPath(path.substr(0, slash), root, subKey))
        return false;
    key = path.substr(0, slash);
    name = path.substr(slash + 1);
    return true;
}

std::string ValueTarget(const std::string& key, const std::string& name) {
    return "value " + key + "\\" + (name.empty() ? "(default)" : name);
}

std::string WhyOldIsMissing(const OldData& before) {
    if (!before.reason.empty())
        return before.reason;
    if (before.state == Before::TooLarge)
        return "its old data was too large to keep";
    return "old data unknown";
}

// The kept copy as the plan names it: relative to the plan's folder when it lies below it, so that
// the plan and the copies can move together.
std::string KeptPath(const TrackResult& result, const std::string& kept, const std::string& planFolder) {
    std::string path = kept;
    if (!IsAbsolutePath(path) && !result.keptFolder.empty())
        path = result.keptFolder + "\\" + path;
    if (planFolder.empty() || path.size() <= planFolder.size() + 1 || path[planFolder.size()] != '\\')
        return path;
    if (!SameIgnoringCaseOrdinal(Utf8ToWide(path.substr(0, planFolder.size())), Utf8ToWide(planFolder)))
        return path;
    return path.substr(planFolder.size() + 1);
}

void AddChangedFiles(PlanWriter& plan, const TrackResult& result, const std::string& planFolder) {
    plan.Part("Files the setup changed or removed: their old content comes back from the kept copy.");
    for (const ChangedFile& file : result.changedFiles) {
        if (file.kept.empty() || !file.before.exists) {
            plan.Leave("file " + file.path,
                       file.notKept.empty() ? "its old content was not kept" : file.notKept);
            continue;
        }
        UndoItem item;
        item.action = UndoAction::RestoreFile;
        item.path = file.path;
        item.nowFile = file.after;
        item.oldFile = file.before;
        item.kept = KeptPath(result, file.kept, planFolder);
        plan.Item(std::move(item));
    }
    for (const ChangedFile& file : result.removedFiles) {
        if (file.kept.empty() || !file.before.exists) {
            plan.Leave("file " + file.path,
                       file.notKept.empty() ? "its old content was not kept" : file.notKept);
            continue;
        }
        UndoItem item;
        item.action = UndoAction::RecreateFile;
        item.path = file.path;
        item.oldFile = file.before;
        item.kept = KeptPath(result, file.kept, planFolder);
        plan.Item(std::move(item));
    }
}

void AddAddedFiles(PlanWriter& plan, const TrackResult& result,
                   const std::map<std::string, FileFacts>& facts) {
    plan.Part("Files the setup added: deleted while they are as the setup left them.");
    for (const std::string& recorded : result.files) {
        const std::string path = Utf8Path(result, recorded);
        const auto found = facts.find(path);
        if (found == facts.end() || !found->second.exists) {
            plan.Comment("gone before this plan was made, so not named: file " + path);
            continue;
        }
        UndoItem item;
        item.action = UndoAction::DeleteAddedFile;
        item.path = path;
        item.nowFile = found->second;
        plan.Item(std::move(item));
    }
    // Noise to the report, but the machine did not have them: the undo takes them too, so that the
    // folders they lie in can go.
    plan.Part("Files the report leaves out as noise that the setup made: deleted while as it left them.");
    for (const EliminatedFile& noise : result.eliminated) {
        const auto found = facts.find(Utf8Path(result, noise.path));
        if (!noise.madeBySetup || found == facts.end() || !found->second.exists)
            continue;
        UndoItem item;
        item.action = UndoAction::DeleteAddedFile;
        item.path = found->first;
        item.nowFile = found->second;
        plan.Item(std::move(item));
    }
}

void AddCreatedFolders(PlanWriter& plan, const TrackResult& result) {
    std::vector<std::string> folders = result.createdFolders;
    // Deepest first, so that a parent is tried after its children are gone.
    std::stable_sort(folders.begin(), folders.end(),
                     [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
    plan.Part("Folders the setup created, deepest first: removed only once empty.");
    for (const std::string& folder : folders) {
        UndoItem item;
        item.action = UndoAction::DeleteFolder;
        item.path = folder;
        plan.Item(std::move(item));
    }
}

void AddValue(PlanWriter& plan, const TrackResult& result, const RegistryValue& value, ValueChange wanted) {
    if (value.change != wanted)
        return;
    std::string key, name;
    if (!SplitValuePath(result, value, key, name)) {
        plan.Leave("value " + Utf8Path(result, value.path), "its path names no registry key");
        return;
    }
    UndoItem item;
    item.path = key;
    item.name = name;
    item.old.type = value.before.type;
    item.old.bytes = value.before.bytes;
    const auto now = DecodeBase64(value.base64);
    switch (value.change) {
    case ValueChange::New:
    case ValueChange::Changed:
        if (!now) {
            plan.Leave(ValueTarget(key, name), "the data the setup left was not recorded readably");
            return;
        }
        item.now.type = value.type;
        item.now.bytes = *now;
        break;
    case ValueChange::Unchanged:
        plan.Comment("the setup wrote it again with the same data, so it is left as it is: " +
                     ValueTarget(key, name));
        return;
    case ValueChange::OldUnknown:
        plan.Leave(ValueTarget(key, name), WhyOldIsMissing(value.before));
        return;
    case ValueChange::Deleted:
        break;
    }
    if (value.change != ValueChange::New && value.before.state != Before::Present) {
        plan.Leave(ValueTarget(key, name), WhyOldIsMissing(value.before));
        return;
    }
    item.action = value.change == ValueChange::New       ? UndoAction::DeleteValue
                  : value.change == ValueChange::Changed ? UndoAction::RestoreValue
                                                         : UndoAction::RecreateValue;
    plan.Item(std::move(item));
}

void AddKeys(PlanWriter& plan, const std::vector<std::string>& keys, UndoAction action) {
    std::vector<std::string> sorted = keys;
    // Deleting goes deepest first (a key goes once empty), making shallowest first.
    std::stable_sort(sorted.begin(), sorted.end(), [action](const std::string& a, const std::string& b) {
        return action == UndoAction::DeleteKey ? Depth(a) > Depth(b) : Depth(a) < Depth(b);
    });
    for (const std::string& key : sorted) {
        std::string root, subKey;
        if (!SplitRegistryPath(key, root, subKey) || subKey.empty()) {
            plan.Leave("key " + key, "its path names no registry key below a known root");
            continue;
        }
        UndoItem item;
        item.action = action;
        item.path = key;
        plan.Item(std::move(item));
    }
}

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A noise value the undo can put back: one it made (still holding data) or changed, with the old
// state kept. A deleted one is put back after the keys it lay in.
bool KnownNoiseChange(const RegistryValue& value) {
    switch (value.change) {
    case ValueChange::New:
        return !value.base64.empty();
    case ValueChange::Changed:
    case ValueChange::Deleted:
        return value.before.state == Before::Present;
    default:
        return false;
    }
}

// One item of `action` for each service whose key the setup created.
void AddServices(PlanWriter& plan, const TrackResult& result, UndoAction action) {
    for (const std::string& key : result.createdKeys) {
        std::string service;
        if (ServiceOfKey(key, service)) {
            UndoItem item;
            item.action = action;
            item.path = key;
            plan.Item(std::move(item));
        }
    }
}

void AddRegistry(PlanWriter& plan, const TrackResult& result) {
    const struct {
        ValueChange change;
        const char* title;
    } parts[] = {
        {ValueChange::Changed, "Values the setup changed: their old type and data written back."},
        {ValueChange::New, "Values the setup made: deleted while they hold what the setup left."},
        {ValueChange::Unchanged, "Values the setup wrote with the data they already held."},
        {ValueChange::OldUnknown, "Values whose data before the setup is not known: left alone."},
    };
    for (const auto& part : parts) {
        plan.Part(part.title);
        for (const RegistryValue& value : result.registry)
            AddValue(plan, result, value, part.change);
    }
    // The report leaves these out as noise (Windows Installer's records of the product, say), but
    // the setup's processes wrote them: where their old state is known they go back to it, as the
    // rest; where it is not, they are left as they are without a word, as the report leaves them.
    plan.Part("Values the report leaves out as noise: put back as they were, where that is known.");
    for (const EliminatedValue& noise : result.eliminatedRegistry)
        if (noise.value.change != ValueChange::Deleted && KnownNoiseChange(noise.value))
            AddValue(plan, result, noise.value, noise.value.change);
    plan.Part("Keys the setup created, deepest first: deleted only once they hold nothing.");
    AddKeys(plan, Joined(result.createdKeys, result.createdNoiseKeys), UndoAction::DeleteKey);
    // The service manager keeps the services it knows in memory: one whose key the undo removed
    // must be forgotten there too, or it would stay until the system restarts.
    plan.Part("Services the setup made: the service manager forgets each once the undo removed its key.");
    AddServices(plan, result, UndoAction::DeleteService);
    plan.Part("Keys the setup deleted, shallowest first, then the values it deleted.");
    AddKeys(plan, Joined(result.deletedKeys, result.deletedNoiseKeys), UndoAction::RecreateKey);
    for (const RegistryValue& value : result.registry)
        AddValue(plan, result, value, ValueChange::Deleted);
    for (const EliminatedValue& noise : result.eliminatedRegistry)
        if (noise.value.change == ValueChange::Deleted && KnownNoiseChange(noise.value))
            AddValue(plan, result, noise.value, ValueChange::Deleted);
}

void AddGaps(PlanWriter& plan, const TrackResult& result) {
    for (const std::string& gap : result.oldStateGaps)
        plan.Comment("not all of a deleted tree was kept: " + gap);
    for (const std::string& value : result.unrecordedValues)
        plan.Comment("written by the setup but not recorded, so not undone: value " + value);
    for (const CaptureGap& gap : result.captureGaps)
        plan.Comment("registry writes of " + gap.process + " (process " + std::to_string(gap.processId) +
                     ") were not all captured, so not all are undone: " + gap.reason);
}

} // namespace

std::vector<UndoPlanLine> BuildUndoPlan(const TrackResult& result,
                                        const std::map<std::string, FileFacts>& addedFiles,
                                        const std::string& planFolder) {
    std::vector<UndoPlanLine> lines;
    PlanWriter plan(lines);
    // First of all: a running service holds its program, which the undo could not remove.
    plan.Part("Services the setup made: stopped first, so that their files can go.");
    AddServices(plan, result, UndoAction::StopService);
    AddChangedFiles(plan, result, planFolder);
    AddAddedFiles(plan, result, addedFiles);
    AddCreatedFolders(plan, result);
    AddRegistry(plan, result);
    AddGaps(plan, result);
    return lines;
}

std::string FormatUndoPlan(const TrackResult& result, const std::vector<UndoPlanLine>& lines) {
    const char* const about[] = {
        "The undo plan of a setup tracked by orvane-track; run it with: orvane-track --undo THIS-FILE",
        "Each item is checked before it acts: what changed again since the setup is left alone.",
        "One item per line, fields separated by tabs. In text fields %, control characters and DEL are",
        "written as %XX. Value data is TYPE:HEX (now= what the setup left, old= what was there before);",
        "file facts are SIZE,WRITE-TIME(UTC)[,ATTRIBUTES]; kept= is the kept copy of a file's old",
        "content, relative to this plan's folder unless absolute. The default value of a key has an",
        "empty name.",
    };
    std::string out = UndoPlanHeaderLine() + "\r\n";
    for (const char* line : about)
        out += FormatUndoComment(line) + "\r\n";
    out += FormatUndoComment("Setup: " + AnsiToUtf8(result.setupCommand)) + "\r\n";
    size_t items = 0;
    for (const UndoPlanLine& line : lines) {
        if (line.isItem) {
            out += FormatUndoItem(line.item) + "\r\n";
            ++items;
        } else {
            out += FormatUndoComment(line.comment) + "\r\n";
        }
    }
    return out + UndoPlanEndLine(items) + "\r\n";
}

} // namespace track
