// Random registry paths over a small alphabet with double-byte characters whose trail byte is 0x5C,
// through the stand-in's split at the value boundary, against a fake key set: separators are the
// backslashes that are not trail bytes, the split always joins back to the path, and it is the
// longest held key prefix, then the root, then the last separator.
#include "stand-ins/brannock/ValueBoundary.h"
#include "tests/fuzz/FuzzRunner.h"

#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using KeySet = std::set<std::pair<std::string, std::string>>;

// Lead bytes of a Shift-JIS-like code page.
bool IsFakeLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

std::string RandomPath(std::mt19937& random) {
    static const char alphabet[] = "ab\\\\\x81\x9f\xe0\xfc";
    std::string path(random() % 16, '\0');
    for (char& c : path)
        c = alphabet[random() % (sizeof alphabet - 1)];
    return path;
}

// Which bytes are the second byte of a double-byte character, read from the start.
std::vector<bool> TrailBytes(const std::string& path) {
    std::vector<bool> trail(path.size(), false);
    size_t i = 0;
    while (i < path.size()) {
        if (IsFakeLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
            trail[i + 1] = true;
            i += 2;
        } else {
            i += 1;
        }
    }
    return trail;
}

std::vector<size_t> ReferenceSeparators(const std::string& path) {
    const std::vector<bool> trail = TrailBytes(path);
    std::vector<size_t> separators;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' && !trail[i])
            separators.push_back(i);
    }
    return separators;
}

std::pair<std::string, std::string> ReferenceSplit(const std::string& path, const KeySet& keys) {
    const std::vector<size_t> separators = ReferenceSeparators(path);
    for (size_t k = separators.size(); k-- > 0;) {
        std::pair<std::string, std::string> split(path.substr(0, separators[k]),
                                                  path.substr(separators[k] + 1));
        if (keys.count(split) != 0)
            return split;
    }
    if (keys.count({std::string(), path}) != 0 || separators.empty())
        return {std::string(), path};
    return {path.substr(0, separators.back()), path.substr(separators.back() + 1)};
}

// Every candidate split of the path, each held with even odds, plus the split the path was made from.
KeySet RandomKeySet(std::mt19937& random, const std::string& path) {
    KeySet keys;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' && random() % 3 == 0)
            keys.insert({path.substr(0, i), path.substr(i + 1)});
    }
    if (random() % 4 == 0)
        keys.insert({std::string(), path});
    return keys;
}

bool CheckOnePath(std::mt19937& random) {
    const std::string path = RandomPath(random);
    if (brannock::NameSeparators(path, IsFakeLeadByte) != ReferenceSeparators(path))
        return false;
    const KeySet keys = RandomKeySet(random, path);
    std::string subKey = "stale", valueName = "stale";
    brannock::SplitAtValue(
        path, IsFakeLeadByte,
        [&keys](const std::string& sub, const std::string& value) {
            return keys.count({sub, value}) != 0;
        },
        subKey, valueName);
    const std::string joined = subKey.empty() && valueName == path ? path : subKey + '\\' + valueName;
    return joined == path && std::make_pair(subKey, valueName) == ReferenceSplit(path, keys);
}

} // namespace

FUZZ_ENTRY("value-boundary", CheckOnePath)
