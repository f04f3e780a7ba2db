#include "registry/LogParser.h"

#include <algorithm>

namespace {

// The deleted paths, sorted, without any that another of them already begins (those cancel
// nothing more). The views point into the entries' paths, which pass 2 never changes.
std::vector<std::string_view> DeletedPrefixes(const std::list<_RegLogEntry>& entries) {
    std::vector<std::string_view> deleted;
    for (const _RegLogEntry& entry : entries) {
        if (entry.operation == kDeleteKey)
            deleted.emplace_back(entry.path);
    }
    std::sort(deleted.begin(), deleted.end());
    std::vector<std::string_view> minimal;
    for (std::string_view path : deleted) {
        if (minimal.empty() || !StartsWith(path, minimal.back()))
            minimal.push_back(path);
    }
    return minimal;
}

// In a sorted set where no element begins with another, the only element that can be a prefix of
// `path` is the greatest one not above it: any element between a prefix of `path` and `path`
// itself would begin with that prefix.
bool HasDeletedPrefix(const std::vector<std::string_view>& prefixes, std::string_view path) {
    auto above = std::upper_bound(prefixes.begin(), prefixes.end(), path);
    return above != prefixes.begin() && StartsWith(path, *(above - 1));
}

} // namespace

void CancelDeletedKeys(std::list<_RegLogEntry>& entries) {
    const std::vector<std::string_view> prefixes = DeletedPrefixes(entries);
    if (prefixes.empty())
        return;
    for (_RegLogEntry& entry : entries) {
        if (entry.operation != kDeleteKey && HasDeletedPrefix(prefixes, entry.path))
            entry.operation = kDeleteKey;
    }
}
