#include "host/track/output/UninstallScript.h"

#include "host/track/output/Reports.h"
#include "host/track/result/TextEncoding.h"

#include <algorithm>

namespace track {

namespace {

size_t Depth(const std::string& path) {
    return static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
}

void AppendLine(std::string& out, const std::string& line) {
    out += line + "\r\n";
}

void AppendSkipped(std::string& out, const char* what) {
    AppendLine(out, std::string("rem skipped: ") + what + " whose name holds a double quote");
}

// The name the script uses: the short form where there is one, since cmd may not read UTF-8.
std::string ScriptName(const TrackResult& result, const std::string& utf8) {
    const auto found = result.shortNames.find(utf8);
    return QuoteForCmd(found != result.shortNames.end() ? found->second : utf8);
}

void AppendFiles(std::string& out, const TrackResult& result) {
    AppendLine(out, "rem Files the setup added.");
    for (const std::string& path : result.files) {
        const std::string name = Utf8Path(result, path);
        const std::string quoted = ScriptName(result, name);
        if (quoted.empty())
            AppendSkipped(out, "a file");
        else
            AppendLine(out, "del /f /q " + quoted);
    }
}

void AppendFolders(std::string& out, const TrackResult& result) {
    std::vector<std::string> folders = result.createdFolders;
    // Deepest first, so that a parent is tried after its children are gone.
    std::stable_sort(folders.begin(), folders.end(),
                     [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
    AppendLine(out, "rem Folders the setup created, removed only when empty.");
    for (const std::string& folder : folders) {
        const std::string quoted = ScriptName(result, folder);
        if (quoted.empty())
            AppendSkipped(out, "a folder");
        else
            AppendLine(out, "rmdir " + quoted + " 2>nul");
    }
}

void AppendValues(std::string& out, const TrackResult& result) {
    AppendLine(out, "rem Registry values the setup wrote.");
    for (const RegistryValue& value : result.registry) {
        const std::string path = AnsiToUtf8(value.path);
        const size_t slash = path.rfind('\\');
        if (slash == std::string::npos)
            continue;
        const std::string key = QuoteForCmd(path.substr(0, slash));
        const std::string name = path.substr(slash + 1);
        const std::string quotedName = QuoteForCmd(name);
        if (key.empty() || (!name.empty() && quotedName.empty()))
            AppendSkipped(out, "a registry value");
        else
            AppendLine(out, "reg delete " + key + (name.empty() ? " /ve" : " /v " + quotedName) + " /f >nul");
    }
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
    // parse their own command line (reg does).
    if (!utf8.empty() && utf8.back() == '\\')
        quoted += '\\';
    return quoted + "\"";
}

std::string FormatUninstallScript(const TrackResult& result) {
    std::string out;
    AppendLine(out, "@echo off");
    AppendLine(out, "rem Removes what orvane-track recorded while this setup ran:");
    AppendLine(out, "rem   " + std::to_string(result.files.size()) + " files, " +
                        std::to_string(result.createdFolders.size()) + " folders, " +
                        std::to_string(result.registry.size()) + " registry values.");
    AppendLine(out, "rem Written in UTF-8. A name beyond ASCII is given by its 8.3 short form where it has");
    AppendLine(out, "rem one, since cmd reads a script in the console's code page.");
    AppendLine(out, "setlocal EnableExtensions DisableDelayedExpansion");
    AppendLine(out, "chcp 65001 >nul 2>nul");
    AppendFiles(out, result);
    AppendFolders(out, result);
    AppendValues(out, result);
    AppendLine(out, "exit /b 0");
    return out;
}

} // namespace track
