// Pattern lists and the wildcard matcher behind the include and exclude filters.
#include "watcher/PatternMatching.h"

#include <utility>

namespace {

constexpr int kNoMatch = 0;
constexpr int kMatch = 1;

} // namespace

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

// Greedy scan with one back-track point: a later '*' replaces the earlier one's point, which is
// enough because a '*' can absorb whatever an earlier one would have.
int MatchWildcard(const char* name, const char* pattern) {
    if (name == nullptr || pattern == nullptr)
        return kNoMatch;
    while (*name != '\0' && *pattern != '*') {
        if (*pattern != *name && *pattern != '?')
            return kNoMatch;
        ++name;
        ++pattern;
    }
    const char* retryPattern = nullptr;
    const char* retryName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            if (*++pattern == '\0')
                return kMatch;
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
    return *pattern == '\0' ? kMatch : kNoMatch;
}
