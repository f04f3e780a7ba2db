#include "host/track/run/CapturedValueCheck.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

namespace track {

namespace {

struct RootName {
    const char* name;
    HKEY key;
};

// The roots the log names, as the library opens them.
const RootName kRoots[] = {
    {"HKLM", HKEY_LOCAL_MACHINE},
    {"HKCU", HKEY_CURRENT_USER},
    {"HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_USERS", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

HKEY RootOf(const std::string& name) {
    for (const RootName& root : kRoots) {
        if (::lstrcmpiA(name.c_str(), root.name) == 0)
            return root.key;
    }
    return nullptr;
}

// Exists or Gone for one split; Unknown when the registry would not say (access denied, say).
ValueNow ProbeSplit(HKEY root, const std::string& subKey, const std::string& name) {
    HKEY raw = nullptr;
    LONG status = ::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw);
    if (status == ERROR_FILE_NOT_FOUND)
        return ValueNow::Gone;
    if (status != ERROR_SUCCESS)
        return ValueNow::Unknown;
    const UniqueKey key(raw);
    status = ::RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)
        return ValueNow::Exists;
    return status == ERROR_FILE_NOT_FOUND ? ValueNow::Gone : ValueNow::Unknown;
}

} // namespace

ValueNow ProbeValueNow(const std::string& path) {
    const size_t rootEnd = path.find('\\');
    if (rootEnd == std::string::npos)
        return ValueNow::Unknown;
    const HKEY root = RootOf(path.substr(0, rootEnd));
    if (root == nullptr)
        return ValueNow::Unknown;
    ValueNow answer = ValueNow::Gone;
    for (size_t split = path.rfind('\\'); split != std::string::npos && split >= rootEnd;
         split = split == 0 ? std::string::npos : path.rfind('\\', split - 1)) {
        const std::string subKey =
            split == rootEnd ? std::string() : path.substr(rootEnd + 1, split - rootEnd - 1);
        const ValueNow now = ProbeSplit(root, subKey, path.substr(split + 1));
        if (now == ValueNow::Exists)
            return now;
        if (now == ValueNow::Unknown)
            answer = now;
    }
    return answer;
}

void CheckCapturedValues(const CapturedWrites& writes, TrackResult& result, CaptureMessages& messages,
                         TrackResult& notes) {
    ExplainCapturedValues(writes, result, ProbeValueNow);
    if (writes.linesPastBound() != 0)
        messages.AddGap(notes, CaptureGap{"orvane-track.exe", ::GetCurrentProcessId(),
                                          std::to_string(writes.linesPastBound()) +
                                              " captured registry writes past the first " +
                                              std::to_string(CapturedWrites::kDefaultBound) +
                                              " values and keys were not checked against the report"});
}

} // namespace track
