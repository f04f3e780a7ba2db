#include "host/track/output/Reports.h"

#include "host/track/output/ChangeText.h"
#include "host/track/run/CaptureMessages.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/TextEncoding.h"

#include <algorithm>
#include <cstdio>

namespace track {

namespace {

constexpr size_t kMaxPathColumn = 64;

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Characters, not bytes, of UTF-8 text: what a column on screen is made of.
size_t Width(const std::string& utf8) {
    size_t width = 0;
    for (unsigned char c : utf8)
        width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

std::string Padded(const std::string& text, size_t width) {
    const size_t size = Width(text);
    return size >= width ? text : text + std::string(width - size, ' ');
}

void AppendFiles(std::string& out, const TrackResult& result) {
    out += "Files added (" + std::to_string(result.files.size()) + "):\n";
    if (result.files.empty())
        out += "  (none)\n";
    for (const std::string& path : result.files)
        out += "  " + Utf8Path(result, path) + "\n";
    out += "\n";
}

void AppendEliminated(std::string& out, const TrackResult& result) {
    out += "Files eliminated as noise (" + std::to_string(result.eliminated.size()) + "):\n";
    if (result.eliminated.empty())
        out += "  (none)\n";
    for (const EliminatedFile& file : result.eliminated)
        out += "  " + Utf8Path(result, file.path) + "\n      " + file.reason + "\n";
    out += "\n";
}

void AppendChangedFiles(std::string& out, const char* heading, const std::vector<ChangedFile>& files) {
    out += std::string(heading) + " (" + std::to_string(files.size()) + "):\n";
    if (files.empty())
        out += "  (none)\n";
    for (const ChangedFile& file : files) {
        out += "  " + file.path + "\n      before: " + DescribeFacts(file.before);
        if (file.after.exists)
            out += "; after: " + DescribeFacts(file.after);
        out += "\n      " + (file.kept.empty() ? file.notKept : std::string("old content kept")) + "\n";
    }
    out += "\n";
}

// What the value holds now (nothing, once deleted), then how that came about: "[new]",
// "[changed, was ...]", "[deleted, was ...]", "[unchanged]", "[old data unknown]".
std::string ValueText(const RegistryValue& value) {
    const OldData& before = value.before;
    const std::string now = value.change == ValueChange::Deleted
                                ? std::string()
                                : AnsiToUtf8(DescribeRegistryData(value.type, value.base64)) + "  ";
    switch (value.change) {
    case ValueChange::Changed:
    case ValueChange::Deleted: {
        if (before.state != Before::Present)
            return now + "[" + ChangeName(value.change) + ", old data not kept: " + before.reason + "]";
        const std::string type = before.type != value.type ? RegistryTypeName(before.type) + " " : "";
        return now + "[" + ChangeName(value.change) + ", was " + type + DescribeOldData(before) + "]";
    }
    case ValueChange::OldUnknown:
        if (!before.reason.empty() && before.reason != kNoOldStateKept)
            return now + "[old data unknown: " + before.reason + "]";
        break;
    default:
        break;
    }
    return now + "[" + ChangeName(value.change) + "]";
}

void AppendRegistry(std::string& out, const TrackResult& result, bool listProcesses) {
    out += "Registry values (" + std::to_string(result.registry.size()) + "):\n";
    if (result.registry.empty())
        out += "  (none)\n";
    size_t pathWidth = 0, typeWidth = 0;
    for (const RegistryValue& value : result.registry) {
        const size_t width = Width(Utf8Path(result, value.path));
        if (width <= kMaxPathColumn && width > pathWidth)
            pathWidth = width;
        typeWidth = std::max(typeWidth, RegistryTypeName(value.type).size());
    }
    for (const RegistryValue& value : result.registry) {
        out += "  " + Padded(Utf8Path(result, value.path), pathWidth) + "  " +
               Padded(RegistryTypeName(value.type), typeWidth) + "  " + ValueText(value) +
               (listProcesses ? ProcessSuffix(value) : std::string()) + "\n";
    }
    out += "\n";
}

// Listed only when there are any: most setups create keys only along with their values.
void AppendLines(std::string& out, const char* heading, const std::vector<std::string>& lines) {
    if (lines.empty())
        return;
    out += std::string(heading) + " (" + std::to_string(lines.size()) + "):\n";
    for (const std::string& line : lines)
        out += "  " + line + "\n";
    out += "\n";
}

void AppendEliminatedRegistry(std::string& out, const TrackResult& result, bool listProcesses) {
    out +=
        "Registry values eliminated as noise (" + std::to_string(result.eliminatedRegistry.size()) + "):\n";
    if (result.eliminatedRegistry.empty())
        out += "  (none)\n";
    for (const EliminatedValue& value : result.eliminatedRegistry)
        out += "  " + Utf8Path(result, value.value.path) + (listProcesses ? ProcessSuffix(value.value) : "") +
               "\n      " + AnsiToUtf8(value.reason) + "\n";
    out += "\n";
}

// Said after the values, so that a reader of the list learns at once that it may lack some.
void AppendCaptureWarnings(std::string& out, const TrackResult& result) {
    if (result.captureGaps.empty() && result.unrecordedValues.empty())
        return;
    out += "Registry warnings (" +
           std::to_string(result.captureGaps.size() + result.unrecordedValues.size()) + "):\n";
    for (const CaptureGap& gap : result.captureGaps)
        out += "  " + DescribeCaptureGap(gap) + "\n";
    for (const std::string& path : result.unrecordedValues)
        out += "  registry value not recorded (the ANSI code page cannot hold its name): " + path + "\n";
    out += "\n";
}

} // namespace

std::string Utf8Path(const TrackResult& result, const std::string& path) {
    const auto real = result.realNames.find(path);
    return real != result.realNames.end() ? real->second : AnsiToUtf8(path);
}

std::string FormatSummary(const TrackResult& result) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", result.seconds);
    const size_t deleted = DeletedValues(result);
    std::string line = "Summary: " + Plural(result.files.size(), "file", "files") + " added";
    if (!result.changedFiles.empty())
        line += ", " + Plural(result.changedFiles.size(), "file", "files") + " changed";
    if (!result.removedFiles.empty())
        line += ", " + Plural(result.removedFiles.size(), "file", "files") + " removed";
    line += ", " + Plural(result.registry.size() - deleted, "registry value", "registry values") + " written";
    if (deleted != 0)
        line += ", " + Plural(deleted, "registry value", "registry values") + " deleted";
    if (!result.eliminated.empty())
        line += ", " + Plural(result.eliminated.size(), "file", "files") + " eliminated as noise";
    if (!result.eliminatedRegistry.empty())
        line += ", " + Plural(result.eliminatedRegistry.size(), "registry value", "registry values") +
                " eliminated as noise";
    // The driver's own gaps (process id 0) count operations, not processes.
    const size_t driverGaps =
        static_cast<size_t>(std::count_if(result.captureGaps.begin(), result.captureGaps.end(),
                                          [](const CaptureGap& gap) { return gap.processId == 0; }));
    const size_t processGaps = result.captureGaps.size() - driverGaps;
    if (processGaps != 0)
        line += ", registry capture incomplete for " + Plural(processGaps, "process", "processes");
    if (driverGaps != 0)
        line += ", registry operations lost by the driver";
    if (!result.unrecordedValues.empty())
        line += ", " + Plural(result.unrecordedValues.size(), "registry value", "registry values") +
                " not recorded";
    return line + "; setup exit code " + std::to_string(result.setupExitCode) + " after " + seconds;
}

std::string ProcessSuffix(const RegistryValue& value) {
    if (value.process.empty())
        return " (process unknown)";
    const std::string image = AnsiToUtf8(value.process);
    return value.processId == 0 ? " (" + image + ")"
                                : " (" + image + ", pid " + std::to_string(value.processId) + ")";
}

std::string FormatTextReport(const TrackResult& result, bool listEliminated, bool listProcesses) {
    std::string out = "Tracked: " + AnsiToUtf8(result.setupCommand) + "\n\n";
    AppendFiles(out, result);
    AppendChangedFiles(out, "Files changed", result.changedFiles);
    AppendChangedFiles(out, "Files removed", result.removedFiles);
    if (listEliminated)
        AppendEliminated(out, result);
    AppendRegistry(out, result, listProcesses);
    AppendLines(out, "Registry keys created", result.createdKeys);
    AppendLines(out, "Registry keys deleted", result.deletedKeys);
    if (listEliminated)
        AppendEliminatedRegistry(out, result, listProcesses);
    AppendCaptureWarnings(out, result);
    AppendLines(out, "Old state not kept", result.oldStateGaps);
    out += FormatSummary(result) + "\n";
    if (!listEliminated && !(result.eliminated.empty() && result.eliminatedRegistry.empty()))
        out += "(--eliminated lists the files and values judged noise and why)\n";
    return out;
}

} // namespace track
