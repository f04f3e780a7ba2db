#include "registry/LogParser.h"

#include "common/LogExclusions.h"

namespace {

constexpr std::string_view kSuccess = "SUCCESS";
constexpr std::string_view kSetValue = "SetValue";

bool IsKept(const std::string_view (&fields)[5]) {
    const std::string_view process = fields[0], operation = fields[1], path = fields[2], result = fields[3];
    if (log_exclusions::IsExcludedProcess(process) || StartsWith(path, log_exclusions::kPathPrefix) ||
        result != kSuccess)
        return false;
    return StartsWith(operation, kSetValue) || StartsWith(operation, kDeleteKey);
}

} // namespace

void SplitString(const std::string& text, const std::string& delimiter, std::vector<std::string>& fields) {
    if (delimiter.empty()) {
        if (!text.empty())
            fields.push_back(text);
        return;
    }
    size_t position = 0;
    for (;;) {
        const size_t found = text.find(delimiter, position);
        if (found == std::string::npos) {
            if (position < text.size())
                fields.push_back(text.substr(position));
            return;
        }
        fields.push_back(text.substr(position, found - position));
        position = found + delimiter.size();
        if (position >= text.size())
            return;
    }
}

bool SplitLogFields(std::string_view line, std::string_view (&fields)[5]) {
    size_t count = 0;
    size_t position = 0;
    for (;;) {
        const size_t tab = line.find('\t', position);
        if (tab == std::string_view::npos) {
            if (position < line.size()) {
                if (count == 5)
                    return false;
                fields[count++] = line.substr(position);
            }
            return count == 5;
        }
        if (count == 5)
            return false;
        fields[count++] = line.substr(position, tab - position);
        position = tab + 1;
        if (position >= line.size())
            return count == 5;
    }
}

void KeepLogLines(const RawLineList& rawLines, std::list<_RegLogEntry>& entries) {
    std::string_view fields[5];
    for (std::string_view line : rawLines) {
        if (!SplitLogFields(line, fields) || !IsKept(fields))
            continue;
        entries.push_back(_RegLogEntry{std::string(fields[0]), std::string(fields[1]), std::string(fields[2]),
                                       std::string(fields[3]), std::string(fields[4])});
    }
}
