#include "registry/LogParser.h"

#include <unordered_set>

namespace {

// Whether `path` lies below one of the `deleted` keys: a key of its own path up to one of its
// backslashes. A key named like the first characters of another (HKLM\Software\A and
// HKLM\Software\AB) is not above it.
bool LiesBelowOneOf(const std::unordered_set<std::string_view>& deleted, std::string_view path) {
    for (size_t separator = path.find('\\'); separator != std::string_view::npos;
         separator = path.find('\\', separator + 1)) {
        if (deleted.count(path.substr(0, separator)) != 0)
            return true;
    }
    return false;
}

} // namespace

// Walked from the last line back, so that each write meets exactly the deletions logged after it:
// a deletion removes what was below the key when it ran, and a value written below the key again
// afterwards is the setup's, to be read back like any other.
void CancelDeletedKeys(std::list<_RegLogEntry>& entries) {
    std::unordered_set<std::string_view> deletedLater;
    bool everythingDeletedLater = false;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->operation == kDeleteKey) {
            // A deletion with no path names no key: it can only have meant everything.
            if (entry->path.empty())
                everythingDeletedLater = true;
            else
                deletedLater.insert(entry->path);
            continue;
        }
        if (everythingDeletedLater || LiesBelowOneOf(deletedLater, entry->path))
            entry->operation = kDeleteKey;
    }
}
