#include "host/track/output/Reports.h"

#include "host/track/output/AddedFiles.h"
#include "host/track/output/ChangeText.h"
#include "host/track/result/Base64.h"
#include "host/track/run/CaptureMessages.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <cstdio>

namespace track {

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

namespace {

std::string JsonString(const std::string& ansi) {
    return JsonUtf8String(AnsiToUtf8(ansi));
}

// Decoded data: text, number, list of texts, or hex bytes for anything else. `Text` turns the
// bytes of one string into a JSON string.
template <typename Text>
std::string JsonData(std::uint32_t type, const std::vector<std::uint8_t>& bytes, Text text) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return text(StringData(bytes));
    case REG_MULTI_SZ: {
        std::string list = "[";
        for (const std::string& s : SplitMultiString(bytes))
            list += (list.size() > 1 ? ", " : "") + text(s);
        return list + "]";
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
        std::uint64_t number = 0;
        if (NumberData(type, bytes, number))
            return std::to_string(number);
        break;
    }
    default:
        break;
    }
    return JsonUtf8String(HexBytes(bytes));
}

std::string JsonValue(const RegistryValue& value) {
    const auto bytes = DecodeBase64(value.base64);
    if (!bytes || value.change == ValueChange::Deleted)
        return "null";
    return JsonData(value.type, *bytes, JsonString);
}

// What the value held before: null when it did not exist, its type and data (as the registry holds
// them: strings in UTF-16) when kept, else why it is not known.
std::string JsonBefore(const OldData& before) {
    if (before.state == Before::Absent)
        return "null";
    if (before.state != Before::Present)
        return "{\"unknown\": " + JsonUtf8String(before.reason) + "}";
    return "{\"type\": " + std::to_string(before.type) +
           ", \"typeName\": " + JsonUtf8String(RegistryTypeName(before.type)) +
           ", \"data\": " + JsonUtf8String(EncodeBase64(before.bytes)) +
           ", \"value\": " + JsonData(before.type, OldDataAsUtf8(before), JsonUtf8String) + "}";
}

// The process that wrote a value last: ", \"process\": \"setup.exe\", \"processId\": 1234", both null
// when no captured line named it.
std::string JsonProcess(const RegistryValue& value) {
    if (value.process.empty())
        return ", \"process\": null, \"processId\": null";
    return ", \"process\": " + JsonString(value.process) + ", \"processId\": " +
           (value.processId == 0 ? std::string("null") : std::to_string(value.processId));
}

std::string JsonRegistryValue(const TrackResult& result, const RegistryValue& value) {
    const bool deleted = value.change == ValueChange::Deleted;
    return "{\"path\": " + JsonUtf8String(Utf8Path(result, value.path)) +
           ", \"type\": " + JsonString(RegistryTypeName(value.type)) +
           ", \"typeCode\": " + std::to_string(value.type) +
           ", \"data\": " + (deleted ? std::string("null") : JsonString(value.base64)) +
           ", \"value\": " + JsonValue(value) + ", \"change\": " + JsonUtf8String(ChangeName(value.change)) +
           ", \"before\": " + JsonBefore(value.before) + JsonProcess(value) + "}";
}

std::string JsonFacts(const FileFacts& facts) {
    if (!facts.exists)
        return "null";
    const std::string time = IsoTime(facts.writeTime);
    return "{\"size\": " + std::to_string(facts.size) +
           ", \"time\": " + (time.empty() ? std::string("null") : JsonUtf8String(time)) + "}";
}

std::string JsonChangedFile(const ChangedFile& file) {
    return "{\"path\": " + JsonUtf8String(file.path) + ", \"before\": " + JsonFacts(file.before) +
           ", \"after\": " + JsonFacts(file.after) + ", \"kept\": " + (file.kept.empty() ? "false" : "true") +
           (file.kept.empty() ? ", \"notKept\": " + JsonUtf8String(file.notKept) : std::string()) + "}";
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
    // The same files with their size and time, read when the report is written.
    const std::vector<FileFacts> addedFacts = AddedFileFacts(result);
    std::vector<size_t> addedIndexes(addedFacts.size());
    for (size_t i = 0; i < addedIndexes.size(); ++i)
        addedIndexes[i] = i;
    AppendArray(out, "filesAdded", addedIndexes, [&](size_t i) {
        return "{\"path\": " + JsonUtf8String(Utf8Path(result, result.files[i])) +
               ", \"facts\": " + JsonFacts(addedFacts[i]) + "}";
    });
    AppendArray(out, "eliminatedFiles", result.eliminated, [&](const EliminatedFile& file) {
        return "{\"path\": " + JsonUtf8String(Utf8Path(result, file.path)) +
               ", \"reason\": " + JsonString(file.reason) + "}";
    });
    AppendArray(out, "filesChanged", result.changedFiles, JsonChangedFile);
    AppendArray(out, "filesRemoved", result.removedFiles, JsonChangedFile);
    AppendArray(out, "registry", result.registry,
                [&](const RegistryValue& value) { return JsonRegistryValue(result, value); });
    AppendArray(out, "keysCreated", result.createdKeys, JsonUtf8String);
    AppendArray(out, "keysDeleted", result.deletedKeys, JsonUtf8String);
    AppendArray(out, "eliminatedRegistry", result.eliminatedRegistry, [&](const EliminatedValue& value) {
        // A value written and deleted again held no type before and holds none now.
        const bool typeless =
            value.value.base64.empty() && value.value.before.state == Before::Absent && value.value.type == 0;
        return "{\"path\": " + JsonUtf8String(Utf8Path(result, value.value.path)) + ", \"type\": " +
               (typeless ? std::string("null") : JsonString(RegistryTypeName(value.value.type))) +
               ", \"reason\": " + JsonString(value.reason) + JsonProcess(value.value) + "}";
    });
    AppendArray(out, "registryCaptureIncomplete", result.captureGaps, [](const CaptureGap& gap) {
        return "{\"process\": " + JsonUtf8String(gap.process) +
               ", \"pid\": " + std::to_string(gap.processId) + ", \"reason\": " + JsonUtf8String(gap.reason) +
               ", \"message\": " + JsonUtf8String(DescribeCaptureGap(gap)) + "}";
    });
    AppendArray(out, "registryValuesNotRecorded", result.unrecordedValues,
                [](const std::string& path) { return JsonUtf8String(path); });
    AppendArray(out, "oldStateGaps", result.oldStateGaps, JsonUtf8String);
    out += "  \"summary\": {\"files\": " + std::to_string(result.files.size()) +
           ", \"eliminatedFiles\": " + std::to_string(result.eliminated.size()) +
           ", \"registryValues\": " + std::to_string(result.registry.size()) +
           ", \"registryValuesDeleted\": " + std::to_string(DeletedValues(result)) +
           ", \"eliminatedRegistryValues\": " + std::to_string(result.eliminatedRegistry.size()) +
           ", \"registryCaptureIncomplete\": " + std::to_string(result.captureGaps.size()) +
           ", \"registryValuesNotRecorded\": " + std::to_string(result.unrecordedValues.size()) +
           ", \"filesChanged\": " + std::to_string(result.changedFiles.size()) +
           ", \"filesRemoved\": " + std::to_string(result.removedFiles.size()) +
           ", \"keysCreated\": " + std::to_string(result.createdKeys.size()) +
           ", \"keysDeleted\": " + std::to_string(result.deletedKeys.size()) + "}\n";
    out += "}\n";
    return out;
}

} // namespace track
