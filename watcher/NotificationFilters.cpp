// Which queued records reach the real handler: the include and exclude pattern lists, the filter
// flags and the real handler's own hook. Runs on the delivering thread; the lists, the flags and
// the offset are written before the watch starts and only read afterwards.
#include "watcher/DelayedDirectoryChangeHandler.h"

#include <cstring>
#include <mbstring.h>

namespace {

// Items are maximal runs of characters other than ';', blanks included. ';' is never the trail
// byte of a double-byte character in the ANSI code pages, so splitting bytes splits characters.
std::vector<std::string> SplitPatterns(const char* text) {
    std::vector<std::string> items;
    std::string item;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == ';') {
            if (!item.empty())
                items.push_back(std::move(item));
            item.clear();
        } else {
            item += *c;
        }
    }
    if (!item.empty())
        items.push_back(std::move(item));
    return items;
}

// A null or empty string leaves the list absent; a string of separators only gives a list that
// exists but is empty (which then includes nothing and excludes nothing). A single item keeps
// only the item, without the separators around it.
bool MakePatternList(const char* text, std::vector<std::string>& list, bool& exists) {
    list.clear();
    exists = text != nullptr && *text != '\0';
    if (exists)
        list = SplitPatterns(text);
    return exists;
}

bool AnyPatternMatches(const std::vector<std::string>& patterns, const char* name) {
    for (const std::string& pattern : patterns) {
        if (MatchWildcard(name, pattern.c_str()))
            return true;
    }
    return false;
}

// Just after the last backslash, double-byte characters read as wholes; 0 without a backslash.
int FileNameOffset(const char* path) {
    const unsigned char* start = reinterpret_cast<const unsigned char*>(path);
    const unsigned char* last = _mbsrchr(start, '\\');
    return last != nullptr ? int(last - start) + 1 : 0;
}

int ClampedOffset(const char* path, int offset) {
    const int length = int(std::strlen(path));
    return offset < 0 ? 0 : (offset > length ? length : offset);
}

// Where the pattern test of one path starts: its file name, or what follows the watched folder.
int PathMatchStartOffset(const char* path, int relativePathOffset, DWORD flags) {
    if (path == nullptr)
        return 0;
    if (flags & NF_MATCH_FILE_NAME)
        return FileNameOffset(path);
    if (flags & NF_MATCH_RELATIVE_PATH)
        return ClampedOffset(path, relativePathOffset);
    return 0;
}

bool IsFileKind(int kind) {
    return kind >= kFileAdded && kind <= kFileRenamed;
}

} // namespace

bool EndsWithBackslash(const std::string& path) {
    if (path.empty())
        return false;
    return size_t(FileNameOffset(path.c_str())) == path.size();
}

BOOL CDelayedDirectoryChangeHandler::SetFilterPatterns(const char* includeFilter, const char* excludeFilter) {
    const bool include = MakePatternList(includeFilter, includePatterns_, hasIncludeList_);
    const bool exclude = MakePatternList(excludeFilter, excludePatterns_, hasExcludeList_);
    return include || exclude;
}

void CDelayedDirectoryChangeHandler::SetRelativePathOffset(const std::string& directory) {
    if ((filterFlags_ & NF_MATCH_RELATIVE_PATH) == 0) {
        relativePathOffset_ = 0;
        return;
    }
    relativePathOffset_ = int(directory.size()) + (EndsWithBackslash(directory) ? 0 : 1);
}

bool CDelayedDirectoryChangeHandler::IsIncluded(const char* name) const {
    return !hasIncludeList_ || AnyPatternMatches(includePatterns_, name);
}

bool CDelayedDirectoryChangeHandler::IsExcluded(const char* name) const {
    return hasExcludeList_ && AnyPatternMatches(excludePatterns_, name);
}

int CDelayedDirectoryChangeHandler::MatchStartOffset(const CDirChangeNotification* record, DWORD flags) {
    return record != nullptr ? PathMatchStartOffset(record->name, record->relativePathOffset, flags) : 0;
}

int CDelayedDirectoryChangeHandler::NewNameMatchStartOffset(const CDirChangeNotification* record,
                                                            DWORD flags) {
    return record != nullptr ? PathMatchStartOffset(record->newName, record->relativePathOffset, flags) : 0;
}

bool CDelayedDirectoryChangeHandler::PassesFiltersFor(const CDirChangeNotification* record,
                                                      CDirectoryChangeHandler* handler) const {
    if (record == nullptr || record->name == nullptr)
        return false;
    const DWORD flags = filterFlags_;
    if ((flags & NF_NO_PATTERNS) && (flags & NF_NO_HOOK))
        return true;
    if (!IsFileKind(record->kind))
        return true;
    const auto hookAccepts = [&] {
        return handler->On_FilterNotification(DWORD(record->kind), record->name, record->newName);
    };
    if ((flags & NF_HOOK_FIRST) && !(flags & NF_NO_HOOK) && !hookAccepts())
        return false;
    if (!(flags & NF_NO_PATTERNS)) {
        const auto patternsPass = [&](const char* part) { return IsIncluded(part) && !IsExcluded(part); };
        bool passes = patternsPass(record->name + MatchStartOffset(record, flags));
        if (!passes && record->kind == kFileRenamed && record->newName != nullptr)
            passes = patternsPass(record->newName + NewNameMatchStartOffset(record, flags));
        if (!passes)
            return false;
    }
    if (flags & (NF_HOOK_FIRST | NF_NO_HOOK))
        return true;
    return hookAccepts();
}

// Greedy scan with one back-track point: a later '*' replaces the earlier one's point, which is
// enough because a '*' can absorb whatever an earlier one would have.
BOOL MatchWildcard(const char* name, const char* pattern) {
    if (name == nullptr || pattern == nullptr)
        return FALSE;
    while (*name != '\0' && *pattern != '*') {
        if (*pattern != *name && *pattern != '?')
            return FALSE;
        ++name;
        ++pattern;
    }
    const char* retryPattern = nullptr;
    const char* retryName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            if (*++pattern == '\0')
                return TRUE;
            retryPattern = pattern;
            retryName = name + 1;
        } else if (*pattern == *name || *pattern == '?') {
            ++pattern;
            ++name;
        } else {
            pattern = retryPattern;
            name = retryName++;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0' ? TRUE : FALSE;
}
