#include "host/track/output/Reports.h"

#include "host/track/result/Base64.h"
#include "host/track/run/CaptureMessages.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <cstdio>

namespace track {

namespace {

// A JSON string from UTF-8 text, control characters escaped.
std::string JsonUtf8String(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string JsonString(const std::string& ansi) {
    return JsonUtf8String(AnsiToUtf8(ansi));
}

std::string JsonValue(const RegistryValue& value) {
    const auto bytes = DecodeBase64(value.base64);
    if (!bytes)
        return "null";
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return JsonString(StringData(*bytes));
    case REG_MULTI_SZ: {
        std::string list = "[";
        for (const std::string& s : SplitMultiString(*bytes))
            list += (list.size() > 1 ? ", " : "") + JsonString(s);
        return list + "]";
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
        std::uint64_t number = 0;
        if (NumberData(value.type, *bytes, number))
            return std::to_string(number);
        break;
    }
    default:
        break;
    }
    return JsonString(HexBytes(*bytes));
}

// The process that wrote a value last: ", \"process\": \"setup.exe\", \"processId\": 1234", both null
// when no captured line named it.
std::string JsonProcess(const RegistryValue& value) {
    if (value.process.empty())
        return ", \"process\": null, \"processId\": null";
    return ", \"process\": " + JsonString(value.process) + ", \"processId\": " +
           (value.processId == 0 ? std::string("null") : std::to_string(value.processId));
}

template <typename Item, typename Format>
void AppendArray(std::string& out, const char* name, const std::vector<Item>& items, Format format) {
    out += std::string("  \"") + name + "\": [";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "\n    " : ",\n    ") + format(items[i]);
    out += items.empty() ? "],\n" : "\n  ],\n";
}

} // namespace

std::string FormatJsonReport(const TrackResult& result) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", result.seconds);
    std::string out = "{\n";
    out += "  \"setup\": {\"command\": " + JsonString(result.setupCommand) +
           ", \"exitCode\": " + std::to_string(result.setupExitCode) + ", \"seconds\": " + seconds + "},\n";
    AppendArray(out, "files", result.files,
                [&](const std::string& path) { return JsonUtf8String(Utf8Path(result, path)); });
    AppendArray(out, "eliminatedFiles", result.eliminated, [&](const EliminatedFile& file) {
        return "{\"path\": " + JsonUtf8String(Utf8Path(result, file.path)) +
               ", \"reason\": " + JsonString(file.reason) + "}";
    });
    AppendArray(out, "registry", result.registry, [](const RegistryValue& value) {
        return "{\"path\": " + JsonString(value.path) +
               ", \"type\": " + JsonString(RegistryTypeName(value.type)) +
               ", \"typeCode\": " + std::to_string(value.type) + ", \"data\": " + JsonString(value.base64) +
               ", \"value\": " + JsonValue(value) + JsonProcess(value) + "}";
    });
    AppendArray(out, "eliminatedRegistry", result.eliminatedRegistry, [](const EliminatedValue& value) {
        return "{\"path\": " + JsonString(value.value.path) +
               ", \"type\": " + JsonString(RegistryTypeName(value.value.type)) +
               ", \"reason\": " + JsonString(value.reason) + JsonProcess(value.value) + "}";
    });
    AppendArray(out, "registryCaptureIncomplete", result.captureGaps, [](const CaptureGap& gap) {
        return "{\"process\": " + JsonUtf8String(gap.process) +
               ", \"pid\": " + std::to_string(gap.processId) + ", \"reason\": " + JsonUtf8String(gap.reason) +
               ", \"message\": " + JsonUtf8String(DescribeCaptureGap(gap)) + "}";
    });
    AppendArray(out, "registryValuesNotRecorded", result.unrecordedValues,
                [](const std::string& path) { return JsonUtf8String(path); });
    out += "  \"summary\": {\"files\": " + std::to_string(result.files.size()) +
           ", \"eliminatedFiles\": " + std::to_string(result.eliminated.size()) +
           ", \"registryValues\": " + std::to_string(result.registry.size()) +
           ", \"eliminatedRegistryValues\": " + std::to_string(result.eliminatedRegistry.size()) +
           ", \"registryCaptureIncomplete\": " + std::to_string(result.captureGaps.size()) +
           ", \"registryValuesNotRecorded\": " + std::to_string(result.unrecordedValues.size()) + "}\n";
    out += "}\n";
    return out;
}

} // namespace track
