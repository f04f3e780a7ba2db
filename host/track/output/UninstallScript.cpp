#include "host/track/output/UninstallScript.h"

#include "host/track/output/ReportFile.h"
#include "host/track/output/Reports.h"
#include "host/track/result/RealNames.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"
#include "common/Wow64.h"

namespace track {

namespace {

void AppendLine(std::string& out, const std::string& line) {
    out += line + "\r\n";
}

// Text for a rem line. cmd expands %...% even there (and stops at a malformed %~), and a caret
// at the end would join the next line: names go in double quotes with % doubled, and nothing
// that could end a line or a quote is kept.
std::string RemText(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            out += '?';
        else if (c == '"')
            out += '\'';
        else if (c == '%')
            out += "%%";
        else
            out += c;
    }
    return out;
}

std::string Quoted(const std::string& utf8) {
    return "\"" + RemText(utf8) + "\"";
}

// "delete file "C:\..."", "leave alone value "HKCU\...\Name" (old data unknown)".
std::string RemLine(const UndoItem& item) {
    // The target is "KIND NAME"; only the name goes in quotes.
    const std::string target = UndoTarget(item);
    const size_t space = target.find(' ');
    const std::string head = target.substr(0, space == std::string::npos ? 0 : space);
    const bool named = head == "value" || head == "key" || head == "file" || head == "folder";
    const std::string kind = named ? head + " " : std::string();
    const std::string name = named ? target.substr(space + 1) : target;
    std::string verb;
    switch (item.action) {
    case UndoAction::RestoreValue:
    case UndoAction::RestoreFile:
        verb = "restore ";
        break;
    case UndoAction::RecreateValue:
    case UndoAction::RecreateKey:
    case UndoAction::RecreateFile:
        verb = "re-create ";
        break;
    case UndoAction::Leave:
        return "rem   leave alone " + kind + Quoted(name) + " (" + RemText(item.reason) + ")";
    default:
        verb = "delete ";
        break;
    }
    return "rem   " + verb + kind + Quoted(name) +
           (item.action == UndoAction::DeleteFolder || item.action == UndoAction::DeleteKey ? " once empty"
                                                                                            : "");
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return path;
    full.resize(length);
    return full;
}

// The facts of each added file now, right after the setup: the undo deletes a file only while it
// still has them.
std::map<std::string, FileFacts> AddedFileFacts(const TrackResult& result) {
    const Wow64RedirectionOff nativePaths;
    std::map<std::string, FileFacts> facts;
    std::vector<std::string> named = result.files;
    for (const EliminatedFile& noise : result.eliminated)
        if (noise.madeBySetup)
            named.push_back(noise.path);
    for (const std::string& recorded : named) {
        const std::string path = Utf8Path(result, recorded);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;
        FileFacts& file = facts[path];
        file.exists = true;
        file.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        file.writeTime =
            (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
        file.attributes = data.dwFileAttributes;
    }
    return facts;
}

} // namespace

std::string QuoteForCmd(const std::string& utf8) {
    if (utf8.find('"') != std::string::npos)
        return std::string();
    std::string quoted = "\"";
    for (char c : utf8) {
        quoted += c;
        if (c == '%')
            quoted += '%';
    }
    // A closing quote right after a backslash would be read as an escaped quote by programs that
    // parse their own command line.
    if (!utf8.empty() && utf8.back() == '\\')
        quoted += '\\';
    return quoted + "\"";
}

std::string UndoPlanPathFor(const std::string& scriptPath) {
    const size_t slash = scriptPath.find_last_of("\\/");
    const size_t dot = scriptPath.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? scriptPath.substr(0, dot) : scriptPath) + "-undo-plan.txt";
}

std::string FormatUninstallScript(const std::vector<UndoPlanLine>& plan, const std::string& trackerPath,
                                  const std::string& planPath) {
    std::string out;
    AppendLine(out, "@echo off");
    AppendLine(out, "rem Undoes what orvane-track recorded while a setup ran, with the undo plan");
    AppendLine(out, "rem " + Quoted(planPath) + ".");
    AppendLine(out, "rem Each item is checked before it acts: what changed again since the setup is");
    AppendLine(out, "rem left alone, and said so. Exit code: 0 all done, 2 some left alone, 1 nothing");
    AppendLine(out, "rem done (the plan or orvane-track cannot be used). What the plan does:");
    size_t items = 0;
    for (const UndoPlanLine& line : plan) {
        if (line.isItem) {
            AppendLine(out, RemLine(line.item));
            ++items;
        }
    }
    if (items == 0)
        AppendLine(out, "rem   nothing");
    AppendLine(out, "setlocal EnableExtensions DisableDelayedExpansion");
    AppendLine(out, "chcp 65001 >nul 2>nul");
    const std::string tracker = QuoteForCmd(trackerPath), quotedPlan = QuoteForCmd(planPath);
    if (tracker.empty() || quotedPlan.empty()) {
        AppendLine(
            out, "echo The path of orvane-track or of the plan holds a double quote: it cannot be run. 1>&2");
        AppendLine(out, "exit /b 1");
        return out;
    }
    AppendLine(out, "if not exist " + tracker + " goto no_tracker");
    AppendLine(out, tracker + " --undo " + quotedPlan);
    AppendLine(out, "exit /b %ERRORLEVEL%");
    AppendLine(out, ":no_tracker");
    AppendLine(out, "echo This undo needs orvane-track.exe at " + tracker +
                        ", and it is not there: nothing was done. 1>&2");
    AppendLine(out, "exit /b 1");
    return out;
}

std::string RunningProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::string();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::string shortPath = AsciiShortPath(path);
    return shortPath.empty() ? WideToUtf8(path) : shortPath;
}

bool WriteUndoPlanBeside(const std::string& scriptPath, const TrackResult& result,
                         const std::string& trackerPath, std::string& script, std::string& error) {
    const std::string planPath = UndoPlanPathFor(scriptPath);
    const std::wstring fullPlan = FullPath(AnsiToWide(planPath));
    const size_t slash = fullPlan.rfind(L'\\');
    const std::string planFolder =
        slash == std::wstring::npos ? std::string() : WideToUtf8(fullPlan.substr(0, slash));
    const std::vector<UndoPlanLine> plan = BuildUndoPlan(result, AddedFileFacts(result), planFolder);
    if (!WriteWholeFile(planPath, FormatUndoPlan(result, plan), error))
        return false;
    const std::string shortPlan = AsciiShortPath(fullPlan);
    script = FormatUninstallScript(plan, trackerPath, shortPlan.empty() ? WideToUtf8(fullPlan) : shortPlan);
    return true;
}

} // namespace track
