#include "host/track/result/CapturedLine.h"

#include "common/LogExclusions.h"

#include <iterator>

namespace track {

namespace {

// Indexed by the REG_* number, as the line's detail names a type; a type without a name is its
// decimal number there.
const std::string_view kTypeNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The library's split of a line: the pieces between tabs, where an empty last piece (a line that
// ends in a tab) does not count; a line is read only when that gives exactly five.
bool SplitFields(std::string_view line, std::string_view (&fields)[5]) {
    size_t count = 0, position = 0;
    while (position < line.size()) {
        const size_t tab = line.find('\t', position);
        if (count == 5)
            return false;
        if (tab == std::string_view::npos) {
            fields[count++] = line.substr(position);
            break;
        }
        fields[count++] = line.substr(position, tab - position);
        position = tab + 1;
    }
    return count == 5;
}

// Decimal digits of a value below 2^32.
std::optional<std::uint32_t> Number(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::uint32_t TypeOf(std::string_view detail) {
    constexpr std::string_view kLabel = "Type: ";
    if (!StartsWith(detail, kLabel))
        return 0;
    detail.remove_prefix(kLabel.size());
    const std::string_view name = detail.substr(0, detail.find(','));
    for (std::uint32_t type = 0; type < std::size(kTypeNames); ++type) {
        if (name == kTypeNames[type])
            return type;
    }
    return Number(name).value_or(0);
}

CapturedOperation OperationOf(std::string_view field) {
    if (field == "SetValue")
        return CapturedOperation::SetValue;
    if (field == "DeleteKey")
        return CapturedOperation::DeleteKey;
    return CapturedOperation::Other;
}

} // namespace

std::optional<CapturedLine> ParseCapturedLine(std::string_view text) {
    std::string_view fields[5];
    if (!SplitFields(text, fields))
        return std::nullopt;
    CapturedLine line;
    line.process = std::string(fields[0]);
    line.image = line.process;
    // No file name holds a colon, so the last one ends the image's name.
    const size_t colon = fields[0].rfind(':');
    if (colon != std::string_view::npos) {
        if (const auto id = Number(fields[0].substr(colon + 1))) {
            line.image = std::string(fields[0].substr(0, colon));
            line.processId = *id;
        }
    }
    line.operation = OperationOf(fields[1]);
    line.path = std::string(fields[2]);
    line.status = std::string(fields[3]);
    if (line.operation == CapturedOperation::SetValue)
        line.type = TypeOf(fields[4]);
    return line;
}

LineExclusion ExclusionOf(const std::string& process, const std::string& path) {
    // The library's exclusions, as its first pass applies them to every line it reads.
    if (log_exclusions::IsExcludedProcess(process))
        return LineExclusion::Process;
    return StartsWith(path, log_exclusions::kPathPrefix) ? LineExclusion::ClsidPath : LineExclusion::None;
}

} // namespace track
