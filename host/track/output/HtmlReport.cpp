#include "host/track/output/HtmlReport.h"

#include "host/track/output/AddedFiles.h"
#include "host/track/output/ChangeText.h"
#include "host/track/output/HtmlPage.h"
#include "host/track/output/Reports.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/TextEncoding.h"
#include "host/track/run/CaptureMessages.h"

#include <cstdio>
#include <ctime>

namespace track {

namespace {

// The watched folder that holds `path` (the longest, since one may lie inside another).
std::string FolderOf(const std::string& path, const std::vector<std::string>& folders) {
    const std::string upper = AsciiUpper(path);
    std::string best;
    for (const std::string& folder : folders) {
        const std::string prefix = AsciiUpper(folder) + "\\";
        if (upper.compare(0, prefix.size(), prefix) == 0 && folder.size() > best.size())
            best = folder;
    }
    return best.empty() ? "elsewhere" : best;
}

void Count(std::vector<HtmlBar>& bars, const std::string& label) {
    for (HtmlBar& bar : bars) {
        if (bar.label == label) {
            ++bar.count;
            return;
        }
    }
    bars.push_back({label, 1});
}

std::string RootOf(const std::string& registryPath) {
    return registryPath.substr(0, registryPath.find('\\'));
}

std::vector<HtmlChart> Charts(const TrackResult& result, const HtmlRunFacts& facts) {
    HtmlChart folders{"Files by watched folder", {}};
    for (const std::string& path : result.files)
        Count(folders.bars, FolderOf(Utf8Path(result, path), facts.watchedFolders));
    for (const auto* files : {&result.changedFiles, &result.removedFiles})
        for (const ChangedFile& file : *files)
            Count(folders.bars, FolderOf(file.path, facts.watchedFolders));
    HtmlChart roots{"Registry values and keys by root", {}};
    for (const RegistryValue& value : result.registry)
        Count(roots.bars, RootOf(Utf8Path(result, value.path)));
    for (const auto* keys : {&result.createdKeys, &result.deletedKeys})
        for (const std::string& key : *keys)
            Count(roots.bars, RootOf(key));
    return {folders, roots};
}

std::string FactsText(const FileFacts& facts) {
    return facts.exists ? DescribeFacts(facts) : std::string();
}

std::string OldContent(const ChangedFile& file) {
    return file.kept.empty() ? file.notKept : std::string("old content kept");
}

void FileSections(const TrackResult& result, std::vector<HtmlSection>& sections) {
    HtmlSection added{"Files added", {"Path", "Now"}, {}, false};
    const std::vector<FileFacts> facts = AddedFileFacts(result);
    for (size_t i = 0; i < result.files.size(); ++i)
        added.rows.push_back({"file", "new", "", {Utf8Path(result, result.files[i]), FactsText(facts[i])}});
    sections.push_back(added);
    HtmlSection changed{"Files changed", {"Path", "Before", "After", "Old content"}, {}, false};
    for (const ChangedFile& file : result.changedFiles)
        changed.rows.push_back(
            {"file",
             "changed",
             "",
             {file.path, FactsText(file.before), FactsText(file.after), OldContent(file)}});
    sections.push_back(changed);
    HtmlSection removed{"Files removed", {"Path", "Before", "Old content"}, {}, false};
    for (const ChangedFile& file : result.removedFiles)
        removed.rows.push_back(
            {"file", "deleted", "", {file.path, FactsText(file.before), OldContent(file)}});
    sections.push_back(removed);
}

std::string ProcessName(const RegistryValue& value) {
    return AnsiToUtf8(value.process);
}

std::string ProcessText(const RegistryValue& value) {
    if (value.process.empty())
        return "";
    return ProcessName(value) + (value.processId == 0 ? "" : ", pid " + std::to_string(value.processId));
}

std::string OldText(const RegistryValue& value) {
    switch (value.before.state) {
    case Before::Absent:
        return "(did not exist)";
    case Before::Present: {
        const bool otherType = value.before.type != value.type;
        return Abridged((otherType ? RegistryTypeName(value.before.type) + " " : "") +
                        DescribeOldData(value.before));
    }
    default:
        return "old data not kept: " + value.before.reason;
    }
}

HtmlRow ValueRow(const TrackResult& result, const RegistryValue& value) {
    const bool deleted = value.change == ValueChange::Deleted;
    const std::string now =
        deleted ? "" : Abridged(AnsiToUtf8(DescribeRegistryData(value.type, value.base64)));
    return {"value",
            ChangeName(value.change),
            ProcessName(value),
            {Utf8Path(result, value.path), RegistryTypeName(value.type), now, ChangeName(value.change),
             OldText(value), ProcessText(value)}};
}

void RegistrySections(const TrackResult& result, std::vector<HtmlSection>& sections) {
    HtmlSection values{"Registry values", {"Path", "Type", "Data", "Change", "Before", "Process"}, {}, false};
    for (const RegistryValue& value : result.registry)
        values.rows.push_back(ValueRow(result, value));
    sections.push_back(values);
    HtmlSection created{"Registry keys created", {"Key"}, {}, false};
    for (const std::string& key : result.createdKeys)
        created.rows.push_back({"key", "new", "", {key}});
    sections.push_back(created);
    HtmlSection deleted{"Registry keys deleted", {"Key"}, {}, false};
    for (const std::string& key : result.deletedKeys)
        deleted.rows.push_back({"key", "deleted", "", {key}});
    sections.push_back(deleted);
}

void NoiseSections(const TrackResult& result, std::vector<HtmlSection>& sections) {
    HtmlSection files{"Files eliminated as noise", {"Path", "Reason"}, {}, true};
    for (const EliminatedFile& file : result.eliminated)
        files.rows.push_back({"file", "new", "", {Utf8Path(result, file.path), AnsiToUtf8(file.reason)}});
    sections.push_back(files);
    HtmlSection values{
        "Registry values eliminated as noise", {"Path", "Type", "Reason", "Process"}, {}, true};
    for (const EliminatedValue& noise : result.eliminatedRegistry) {
        const RegistryValue& value = noise.value;
        values.rows.push_back({"value",
                               ChangeName(value.change),
                               ProcessName(value),
                               {Utf8Path(result, value.path), RegistryTypeName(value.type),
                                AnsiToUtf8(noise.reason), ProcessText(value)}});
    }
    sections.push_back(values);
}

std::vector<std::string> Warnings(const TrackResult& result) {
    std::vector<std::string> warnings;
    for (const CaptureGap& gap : result.captureGaps)
        warnings.push_back(DescribeCaptureGap(gap));
    for (const std::string& path : result.unrecordedValues)
        warnings.push_back("registry value not recorded (the ANSI code page cannot hold its name): " + path);
    for (const std::string& gap : result.oldStateGaps)
        warnings.push_back("old state not kept: " + gap);
    return warnings;
}

std::vector<std::pair<std::string, size_t>> Counts(const TrackResult& result) {
    std::vector<std::pair<std::string, size_t>> counts = {{"files added", result.files.size()},
                                                          {"files changed", result.changedFiles.size()},
                                                          {"files removed", result.removedFiles.size()}};
    for (const ValueChange change : {ValueChange::New, ValueChange::Changed, ValueChange::Deleted,
                                     ValueChange::Unchanged, ValueChange::OldUnknown}) {
        size_t count = 0;
        for (const RegistryValue& value : result.registry)
            count += value.change == change ? 1 : 0;
        if (count != 0 || change == ValueChange::New)
            counts.push_back({std::string("values ") + ChangeName(change), count});
    }
    counts.push_back({"keys created", result.createdKeys.size()});
    counts.push_back({"keys deleted", result.deletedKeys.size()});
    counts.push_back({"files judged noise", result.eliminated.size()});
    counts.push_back({"values judged noise", result.eliminatedRegistry.size()});
    return counts;
}

} // namespace

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (const std::tm* utc = std::gmtime(&now))
        parts = *utc;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::string FormatHtmlReport(const TrackResult& result, const HtmlRunFacts& facts) {
    HtmlPage page;
    page.title = "Capture of " + AnsiToUtf8(result.setupCommand);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", result.seconds);
    page.facts = {{"Setup", AnsiToUtf8(result.setupCommand)},
                  {"Exit code", std::to_string(result.setupExitCode)},
                  {"Started", facts.started},
                  {"Ended", facts.ended},
                  {"Setup ran", seconds},
                  {"Tracker", facts.build},
                  {"Lane", facts.lane}};
    page.counts = Counts(result);
    page.warnings = Warnings(result);
    page.charts = Charts(result, facts);
    FileSections(result, page.sections);
    RegistrySections(result, page.sections);
    NoiseSections(result, page.sections);
    return RenderHtmlPage(page);
}

} // namespace track
