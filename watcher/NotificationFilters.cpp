// Which queued records reach the real handler: the include and exclude pattern lists, the filter
// flags and the real handler's own hook. Runs on the delivering thread; the lists, the flags and
// the offset are written before the watch starts and only read afterwards.
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/PatternMatching.h"

#include <cstring>
#include <mbstring.h>

namespace {

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
