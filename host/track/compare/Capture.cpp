#include "host/track/compare/Capture.h"

#include "host/track/compare/JsonDocument.h"

#include <cstdlib>

namespace track {

namespace {

bool ReadSize(const JsonValue& facts, std::uint64_t& size) {
    const JsonValue& value = facts["size"];
    if (!value.Is(JsonValue::Number) || value.text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    size = std::strtoull(value.text.c_str(), nullptr, 10);
    return true;
}

// Added files: "filesAdded" carries their sizes; older captures have the names in "files" alone.
void ReadFiles(const JsonValue& root, Capture& capture) {
    if (root["filesAdded"].Is(JsonValue::Array)) {
        for (const JsonValue& item : root["filesAdded"].items) {
            CapturedFile file;
            file.path = item["path"].text;
            file.sizeKnown = ReadSize(item["facts"], file.size);
            capture.files.push_back(file);
        }
    } else {
        for (const JsonValue& item : root["files"].items)
            if (item.Is(JsonValue::String))
                capture.files.push_back({item.text, false, false, 0});
    }
    for (const JsonValue& item : root["filesChanged"].items) {
        CapturedFile file;
        file.path = item["path"].text;
        file.sizeKnown = ReadSize(item["after"], file.size);
        capture.files.push_back(file);
    }
    for (const JsonValue& item : root["filesRemoved"].items)
        capture.files.push_back({item["path"].text, true, false, 0});
}

std::string Shown(const JsonValue& value) {
    switch (value.kind) {
    case JsonValue::String:
        return "\"" + value.text + "\"";
    case JsonValue::Number:
        return value.text;
    case JsonValue::Array: {
        std::string list;
        for (const JsonValue& item : value.items)
            list += (list.empty() ? "\"" : ", \"") + item.text + "\"";
        return list.empty() ? "(empty list)" : list;
    }
    default:
        return "";
    }
}

bool IsStringType(const std::string& type) {
    return type == "REG_SZ" || type == "REG_EXPAND_SZ" || type == "REG_MULTI_SZ";
}

void ReadValues(const JsonValue& root, Capture& capture) {
    for (const JsonValue& item : root["registry"].items) {
        CapturedValue value;
        value.path = item["path"].text;
        value.type = item["type"].text;
        value.deleted = item["change"].text == "deleted";
        value.shown = value.deleted ? "" : Shown(item["value"]);
        if (!value.deleted) {
            // Strings are compared as text, so that a path inside them can be matched; a list as
            // its strings joined by a character no string holds.
            if (IsStringType(value.type) && item["value"].Is(JsonValue::Array)) {
                for (const JsonValue& s : item["value"].items)
                    value.data += s.text + '\0';
            } else {
                value.data = IsStringType(value.type) ? item["value"].text : item["data"].text;
            }
        }
        value.process = item["process"].text;
        capture.values.push_back(value);
    }
}

void ReadWarnings(const JsonValue& root, Capture& capture) {
    for (const JsonValue& gap : root["registryCaptureIncomplete"].items)
        capture.warnings.push_back(gap["message"].text);
    for (const JsonValue& path : root["registryValuesNotRecorded"].items)
        capture.warnings.push_back("registry value not recorded: " + path.text);
    for (const JsonValue& gap : root["oldStateGaps"].items)
        capture.warnings.push_back("old state not kept: " + gap.text);
}

} // namespace

bool ReadCapture(const std::string& file, const std::string& json, Capture& capture, std::string& error) {
    const auto root = ParseJson(json);
    if (!root) {
        error = file + " is not a capture: it is not JSON";
        return false;
    }
    if (!root->Is(JsonValue::Object) || !(*root)["setup"].Is(JsonValue::Object) ||
        !(*root)["files"].Is(JsonValue::Array) || !(*root)["registry"].Is(JsonValue::Array)) {
        error =
            file +
            " is not a capture: it lacks the \"setup\", \"files\" and \"registry\" of orvane-track --json";
        return false;
    }
    capture = Capture();
    capture.file = file;
    capture.command = (*root)["setup"]["command"].text;
    ReadFiles(*root, capture);
    ReadValues(*root, capture);
    ReadWarnings(*root, capture);
    return true;
}

} // namespace track
