#include "tests/host/ReportValues.h"

#include "host/track/result/Base64.h"
#include "tests/support/TestSupport.h"

#include "common/UniqueHandle.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace host_tests {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Encode(const std::string& bytes) {
    return track::EncodeBase64(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

// The value as the report shows it to a person, for a failure message.
std::string Shown(const json::Value& value) {
    const json::Value& decoded = value["value"];
    std::string shown = decoded.text;
    if (decoded.kind == json::Value::Array) {
        for (const json::Value& item : decoded.items)
            shown += (shown.empty() ? "\"" : ", \"") + item.text + "\"";
    } else if (decoded.kind == json::Value::String) {
        shown = "\"" + shown + "\"";
    }
    return value["type"].text + " " + shown + " (" + value["data"].text + ")";
}

std::map<std::string, const json::Value*> ByPath(const json::Value& report,
                                                 const std::vector<std::string>& within) {
    std::map<std::string, const json::Value*> values;
    for (const json::Value& value : report["registry"].items) {
        const std::string& path = value["path"].text;
        if (within.empty() || std::any_of(within.begin(), within.end(),
                                          [&](const std::string& key) { return IsBelow(path, key); }))
            values[Lower(path)] = &value;
    }
    return values;
}

::testing::AssertionResult Compare(const json::Value& report, const std::vector<ExpectedValue>& expected,
                                   const std::vector<std::string>& within, bool othersAllowed) {
    std::map<std::string, const json::Value*> reported = ByPath(report, within);
    std::string problems;
    for (const ExpectedValue& value : expected) {
        const auto found = reported.find(Lower(value.path));
        if (found == reported.end()) {
            problems += "  missing:    " + value.path + "\n";
            continue;
        }
        const json::Value& got = *found->second;
        if (got["typeCode"].text != std::to_string(value.type) || got["data"].text != Encode(value.bytes))
            problems += "  different:  " + value.path + " is " + Shown(got) + ", expected type " +
                        std::to_string(value.type) + " (" + Encode(value.bytes) + ")\n";
        reported.erase(found);
    }
    if (!othersAllowed) {
        for (const auto& entry : reported)
            problems += "  unexpected: " + (*entry.second)["path"].text + " " + Shown(*entry.second) + "\n";
    }
    if (problems.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the reported values differ from the expected ones:\n"
                                         << problems;
}

} // namespace

TrackedRun TrackToJson(const std::string& tracker, const std::string& jsonPath, const std::string& options,
                       const std::string& setup, DWORD timeoutMs) {
    TrackedRun run;
    ::DeleteFileA(jsonPath.c_str());
    run.process =
        RunProcess(test_support::QuoteArgument(tracker) + " --json " + test_support::QuoteArgument(jsonPath) +
                       (options.empty() ? "" : " ") + options + " -- " + setup,
                   timeoutMs);
    if (auto parsed = json::Parse(ReadWholeFile(jsonPath))) {
        run.report = std::move(*parsed);
        run.parsed = true;
    }
    return run;
}

ExpectedValue ReportedAs(const std::string& path, DWORD type, const std::string& bytes) {
    return ExpectedValue{path, nullptr, std::string(), std::string(), type, bytes};
}

std::string StringBytes(const std::string& text) {
    return text + std::string(1, '\0');
}

std::string MultiStringBytes(const std::vector<std::string>& strings) {
    std::string bytes;
    for (const std::string& s : strings)
        bytes += s + std::string(1, '\0');
    return bytes + std::string(1, '\0');
}

std::string DwordBytes(DWORD number) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>((number >> shift) & 0xff);
    return bytes;
}

bool IsBelow(const std::string& path, const std::string& key) {
    return path.size() > key.size() && Lower(path.substr(0, key.size())) == Lower(key);
}

::testing::AssertionResult ReportsExactly(const json::Value& report,
                                          const std::vector<ExpectedValue>& expected,
                                          const std::vector<std::string>& within) {
    return Compare(report, expected, within, false);
}

::testing::AssertionResult ReportsAll(const json::Value& report, const std::vector<ExpectedValue>& expected) {
    return Compare(report, expected, {}, true);
}

std::vector<std::string> ReportedBelow(const json::Value& report, const std::string& key) {
    std::vector<std::string> paths;
    for (const json::Value& value : report["registry"].items) {
        if (IsBelow(value["path"].text, key))
            paths.push_back(value["path"].text);
    }
    for (const json::Value& value : report["eliminatedRegistry"].items) {
        if (IsBelow(value["path"].text, key))
            paths.push_back(value["path"].text + " (as noise)");
    }
    return paths;
}

std::string CaptureGaps(const json::Value& report) {
    std::string gaps;
    for (const json::Value& gap : report["registryCaptureIncomplete"].items)
        gaps += gap["message"].text + "\n";
    return gaps;
}

bool WindowsIs64Bit() {
    if (sizeof(void*) == 8)
        return true;
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

std::string MachineSoftwareKey(const std::string& key, bool thirtyTwoBitWriter) {
    return (thirtyTwoBitWriter && WindowsIs64Bit() ? "Software\\Wow6432Node\\" : "Software\\") + key;
}

void RemoveKey(HKEY root, const std::string& subKey) {
    const size_t slash = subKey.rfind('\\');
    const std::string parent = slash == std::string::npos ? std::string() : subKey.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? subKey : subKey.substr(slash + 1);
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY raw = nullptr;
        if (::RegOpenKeyExA(root, parent.c_str(), 0, KEY_ALL_ACCESS | view, &raw) != ERROR_SUCCESS)
            continue;
        UniqueKey key(raw);
        ::RegDeleteTreeA(key.get(), leaf.c_str());
    }
}

::testing::AssertionResult RegistryHolds(const std::vector<ExpectedValue>& expected) {
    std::string problems;
    for (const ExpectedValue& value : expected) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        if (!ReadRegistryValue(value.root, value.subKey, value.name, type, data, value.view))
            problems += "\n  missing: " + value.path;
        else if (type != value.type || std::string(data.begin(), data.end()) != value.bytes)
            problems += "\n  different: " + value.path + " (type " + std::to_string(type) + ")";
    }
    if (problems.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the registry does not hold the values:" << problems;
}

} // namespace host_tests
