#include "host/track/result/CapturedWrites.h"

#include <unordered_set>

namespace track {

namespace {

constexpr const char* kEveryKey = "(every key)";
constexpr const char* kNotReadBack = "the value could not be read back when the log was read";

} // namespace

CapturedWrites::CapturedWrites(LeadByteTest isLeadByte, size_t bound)
    : isLeadByte_(isLeadByte), bound_(bound) {}

// Registry names ignore the case of ASCII letters. Both bytes of a two-byte character stay as
// they are: a trail byte that looks like a letter is part of another character.
std::string CapturedWrites::Folded(const std::string& path) const {
    std::string folded = path;
    for (size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(folded[i]);
        if (isLeadByte_ != nullptr && isLeadByte_(c))
            ++i;
        else if (c >= 'A' && c <= 'Z')
            folded[i] = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

void CapturedWrites::Add(std::string_view text, bool delivered) {
    const auto line = ParseCapturedLine(text);
    if (!line || !line->Succeeded())
        return;
    ++lines_;
    if (line->operation == CapturedOperation::SetValue)
        AddWrite(*line, delivered);
    else if (line->operation == CapturedOperation::DeleteKey && delivered)
        AddDeletion(*line);
}

void CapturedWrites::AddWrite(const CapturedLine& line, bool delivered) {
    std::string folded = Folded(line.path);
    auto found = index_.find(folded);
    if (found == index_.end()) {
        if (values_.size() + deletions_.size() >= bound_) {
            ++linesPastBound_;
            return;
        }
        found = index_.emplace(std::move(folded), values_.size()).first;
        values_.emplace_back();
    }
    CapturedValue& value = values_[found->second];
    // The kept write's spelling is what the library's deletions are matched against.
    if (value.lastKept != 0 && value.keptPath.empty() && value.path != line.path)
        value.keptPath = value.path;
    value.path = line.path;
    value.type = line.type;
    value.image = line.image;
    value.processId = line.processId;
    if (line.processId != 0)
        images_[line.processId] = line.image;
    value.lastUndelivered = !delivered;
    if (!delivered)
        return;
    const LineExclusion exclusion = ExclusionOf(line.process, line.path);
    if (exclusion == LineExclusion::None) {
        value.lastKept = lines_;
        value.keptPath.clear();
    } else {
        value.exclusion = exclusion;
        value.excludedProcess = line.image;
    }
}

void CapturedWrites::AddDeletion(const CapturedLine& line) {
    // The library cancels writes only through deletions it keeps.
    if (ExclusionOf(line.process, line.path) != LineExclusion::None)
        return;
    if (line.path.empty()) {
        everyKeyDeleted_ = lines_;
        return;
    }
    const auto found = deletions_.find(line.path);
    if (found != deletions_.end()) {
        found->second = lines_;
        return;
    }
    if (values_.size() + deletions_.size() >= bound_) {
        ++linesPastBound_;
        return;
    }
    deletions_.emplace(line.path, lines_);
}

const CapturedValue* CapturedWrites::Find(const std::string& path) const {
    const auto found = index_.find(Folded(path));
    return found == index_.end() ? nullptr : &values_[found->second];
}

std::string CapturedWrites::DeletedLater(const CapturedValue& value) const {
    if (value.lastKept == 0)
        return std::string();
    if (everyKeyDeleted_ > value.lastKept)
        return kEveryKey;
    const std::string& path = value.keptPath.empty() ? value.path : value.keptPath;
    std::string deepest;
    for (size_t separator = path.find('\\'); separator != std::string::npos;
         separator = path.find('\\', separator + 1)) {
        const auto found = deletions_.find(path.substr(0, separator));
        if (found != deletions_.end() && found->second > value.lastKept)
            deepest = found->first;
    }
    return deepest;
}

std::string DropReason(const CapturedWrites& writes, const CapturedValue& value, const ValueProbe& probe) {
    if (value.lastUndelivered)
        return "the log line of its last write could not be handed to the registry monitor, so the "
               "library never read it";
    if (value.lastKept == 0) {
        if (value.exclusion == LineExclusion::Process)
            return "written by " + value.excludedProcess + ", a process the log leaves out";
        if (value.exclusion == LineExclusion::ClsidPath)
            return "a value whose path begins with HKCU\\CLSID, which the library leaves out";
    }
    const std::string deleted = writes.DeletedLater(value);
    if (deleted == kEveryKey)
        return "its key was deleted later in the setup, by a deletion whose empty path names every key";
    if (!deleted.empty()) {
        const std::string& path = value.keptPath.empty() ? value.path : value.keptPath;
        const size_t nameStart = path.rfind('\\');
        if (deleted == path.substr(0, nameStart))
            return "its key was deleted later in the setup";
        return "its key was deleted later in the setup, with " + deleted + " above it";
    }
    switch (probe(value.path)) {
    case ValueNow::Exists:
        return std::string(kNotReadBack) + ": it exists now, but the library did not keep it";
    case ValueNow::Gone:
        return std::string(kNotReadBack) + ": it no longer exists, and no deletion of its key was captured";
    case ValueNow::Unknown:
        break;
    }
    return kNotReadBack;
}

// A value the old state shows was new and is gone ("written and deleted again") has the type its
// last write gave it, and where the deletion was its key's, the line that says so.
void RefineWrittenAndDeleted(const CapturedWrites& writes, EliminatedValue& value, const ValueProbe& probe) {
    const CapturedValue* captured = writes.Find(value.value.path);
    if (captured == nullptr || value.reason != "written and deleted again")
        return;
    if (value.value.type == 0 && value.value.base64.empty())
        value.value.type = captured->type;
    const std::string reason = DropReason(writes, *captured, probe);
    if (reason.rfind("its key was deleted later", 0) == 0)
        value.reason = reason;
}

std::string CapturedWrites::ImageOf(unsigned long processId) const {
    const auto found = images_.find(processId);
    return found == images_.end() ? std::string() : found->second;
}

namespace {

// A value the setup deleted is in no line: its old state names the process that deleted it.
void NameDeleterById(const CapturedWrites& writes, RegistryValue& value) {
    if (value.change == ValueChange::Deleted && value.process.empty() && value.processId != 0)
        value.process = writes.ImageOf(value.processId);
}

} // namespace

void ExplainCapturedValues(const CapturedWrites& writes, TrackResult& result, const ValueProbe& probe) {
    std::unordered_set<const CapturedValue*> reported;
    auto name = [&](RegistryValue& value) {
        const CapturedValue* captured = writes.Find(value.path);
        if (captured == nullptr) {
            NameDeleterById(writes, value);
            return;
        }
        value.process = captured->image;
        value.processId = captured->processId;
        reported.insert(captured);
    };
    for (RegistryValue& value : result.registry)
        name(value);
    for (EliminatedValue& value : result.eliminatedRegistry) {
        name(value.value);
        RefineWrittenAndDeleted(writes, value, probe);
    }
    for (const CapturedValue& captured : writes.values()) {
        if (reported.count(&captured) != 0)
            continue;
        RegistryValue value(captured.path, captured.type, std::string());
        value.process = captured.image;
        value.processId = captured.processId;
        result.eliminatedRegistry.push_back(EliminatedValue{value, DropReason(writes, captured, probe)});
    }
}

void NameUnnamedWriters(const CapturedWrites& writers, TrackResult& result) {
    auto name = [&](RegistryValue& value) {
        if (!value.process.empty())
            return;
        if (const CapturedValue* written = writers.Find(value.path)) {
            value.process = written->image;
            value.processId = written->processId;
        } else {
            NameDeleterById(writers, value);
        }
    };
    for (RegistryValue& value : result.registry)
        name(value);
    for (EliminatedValue& value : result.eliminatedRegistry)
        name(value.value);
}

} // namespace track
