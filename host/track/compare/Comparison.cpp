#include "host/track/compare/Comparison.h"

#include "host/track/result/TextEncoding.h"

#include <unordered_map>

namespace track {

namespace {

bool StartsWith(const std::string& text, size_t at, const std::string& prefix) {
    return text.compare(at, prefix.size(), prefix) == 0;
}

// At `at` in upper-case text: the length of a machine-specific folder ("C:\USERS\NAME\",
// "C:\PROGRAM FILES (X86)\") and the token that stands for it, or 0.
size_t FolderAt(const std::string& upper, size_t at, std::string& token) {
    if (at + 3 > upper.size() || upper[at] < 'A' || upper[at] > 'Z' || upper[at + 1] != ':' ||
        upper[at + 2] != '\\')
        return 0;
    const size_t rest = at + 3;
    for (const char* programs : {"PROGRAM FILES (X86)\\", "PROGRAM FILES\\"}) {
        if (StartsWith(upper, rest, programs)) {
            token = "%PROGRAMFILES%\\";
            return 3 + std::string(programs).size();
        }
    }
    for (const char* profiles : {"USERS\\", "DOCUMENTS AND SETTINGS\\"}) {
        if (!StartsWith(upper, rest, profiles))
            continue;
        const size_t name = rest + std::string(profiles).size();
        const size_t end = upper.find('\\', name);
        if (end == std::string::npos || end == name)
            return 0;
        const std::string user = upper.substr(name, end - name);
        if (user == "PUBLIC" || user == "ALL USERS" || user == "DEFAULT" || user == "DEFAULT USER")
            return 0;
        token = "%USERPROFILE%\\";
        return end + 1 - at;
    }
    return 0;
}

// Every machine-specific folder in `text` replaced by its token; `upper` is `text` in upper case.
std::string SetFoldersAside(const std::string& text, const std::string& upper, bool keepCase) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        std::string token;
        const size_t length = (i == 0 || keepCase) ? FolderAt(upper, i, token) : 0;
        if (length != 0) {
            out += token;
            i += length;
        } else {
            out += keepCase ? text[i] : upper[i];
            ++i;
        }
    }
    return out;
}

std::string RegistryForm(std::string upper) {
    if (StartsWith(upper, 0, "HKEY_USERS\\")) {
        const size_t sid = upper.find('\\', 11);
        if (sid != std::string::npos && StartsWith(upper, 11, "S-1-5-21-"))
            upper = "HKCU\\" + upper.substr(sid + 1);
    }
    for (size_t at; (at = upper.find("\\WOW6432NODE\\")) != std::string::npos;)
        upper.erase(at, 12);
    return upper;
}

template <typename Item>
void Pair(const std::vector<Item>& a, const std::vector<Item>& b, bool registry,
          std::vector<Paired<Item>>& onlyA, std::vector<Paired<Item>>& onlyB,
          std::vector<Paired<Item>>& both) {
    std::unordered_map<std::string, const Item*> inB;
    for (const Item& item : b)
        inB.emplace(MatchingForm(item.path, registry), &item);
    std::unordered_map<std::string, bool> seen;
    for (const Item& item : a) {
        const std::string key = MatchingForm(item.path, registry);
        if (!seen.emplace(key, true).second)
            continue;
        const auto found = inB.find(key);
        if (found == inB.end())
            onlyA.push_back({&item, nullptr});
        else
            both.push_back({&item, found->second});
    }
    for (const Item& item : b) {
        const std::string key = MatchingForm(item.path, registry);
        if (seen.emplace(key, true).second)
            onlyB.push_back({nullptr, &item});
    }
}

bool FilesDiffer(const CapturedFile& a, const CapturedFile& b) {
    return a.removed != b.removed || (a.sizeKnown && b.sizeKnown && a.size != b.size);
}

bool ValuesDiffer(const CapturedValue& a, const CapturedValue& b) {
    if (a.deleted || b.deleted)
        return a.deleted != b.deleted;
    return a.type != b.type || MatchingData(a.data) != MatchingData(b.data);
}

} // namespace

std::string MatchingForm(const std::string& path, bool registry) {
    const std::string upper = AsciiUpper(path);
    return registry ? RegistryForm(upper) : SetFoldersAside(path, upper, false);
}

std::string MatchingData(const std::string& data) {
    return SetFoldersAside(data, AsciiUpper(data), true);
}

Comparison CompareCaptures(const Capture& a, const Capture& b) {
    Comparison comparison;
    comparison.a = &a;
    comparison.b = &b;
    std::vector<Paired<CapturedFile>> files;
    Pair(a.files, b.files, false, comparison.filesOnlyInA, comparison.filesOnlyInB, files);
    for (const auto& pair : files)
        if (FilesDiffer(*pair.a, *pair.b))
            comparison.filesDiffering.push_back(pair);
    std::vector<Paired<CapturedValue>> values;
    Pair(a.values, b.values, true, comparison.valuesOnlyInA, comparison.valuesOnlyInB, values);
    for (const auto& pair : values)
        if (ValuesDiffer(*pair.a, *pair.b))
            comparison.valuesDiffering.push_back(pair);
    return comparison;
}

std::string DescribeFile(const CapturedFile& file) {
    if (file.removed)
        return "removed";
    return file.sizeKnown ? std::to_string(file.size) + " bytes" : "size unknown";
}

std::string DescribeValue(const CapturedValue& value) {
    return value.deleted ? "deleted" : value.type + " " + value.shown;
}

} // namespace track
