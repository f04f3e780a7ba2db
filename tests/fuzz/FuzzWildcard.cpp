// Random patterns and names over a small alphabet through the filters' matcher, against a plain
// recursive matcher; and random ';'-separated lists through the include and exclude decision.
#include "watcher/PatternMatching.h"
#include "tests/fuzz/FuzzRunner.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The plain recursion (a star takes nothing or one more character) spelt as a table, so that a
// pattern of many stars costs name x pattern steps rather than exponential time.
bool ReferenceMatch(const char* name, const char* pattern) {
    const size_t n = std::strlen(name), p = std::strlen(pattern);
    std::vector<std::vector<char>> matches(n + 2, std::vector<char>(p + 2, 0));
    for (size_t i = n + 1; i-- > 0;) {
        for (size_t j = p + 1; j-- > 0;) {
            if (j == p)
                matches[i][j] = i == n;
            else if (pattern[j] == '*')
                matches[i][j] = matches[i][j + 1] || (i < n && matches[i + 1][j]);
            else
                matches[i][j] =
                    i < n && (pattern[j] == '?' || pattern[j] == name[i]) && matches[i + 1][j + 1];
        }
    }
    return matches[0][0] != 0;
}

std::string RandomText(std::mt19937& random, const char* alphabet, size_t alphabetSize, size_t maxLength) {
    std::string text(random() % (maxLength + 1), '\0');
    for (char& c : text)
        c = alphabet[random() % alphabetSize];
    return text;
}

std::string RandomName(std::mt19937& random) {
    static const char alphabet[] = "aAb.\\\x81\xff";
    return RandomText(random, alphabet, sizeof alphabet - 1, 12);
}

std::string RandomPattern(std::mt19937& random) {
    static const char alphabet[] = "aAb.\\\x81*?**";
    return RandomText(random, alphabet, sizeof alphabet - 1, 10);
}

// The lists as written in the filter strings: items between ';', empty items dropped.
std::vector<std::string> ReferenceSplit(const std::string& text) {
    std::vector<std::string> items(1);
    for (char c : text) {
        if (c == ';')
            items.emplace_back();
        else
            items.back() += c;
    }
    std::vector<std::string> kept;
    for (std::string& item : items) {
        if (!item.empty())
            kept.push_back(item);
    }
    return kept;
}

bool ReferenceAny(const std::vector<std::string>& patterns, const std::string& name) {
    for (const std::string& pattern : patterns) {
        if (ReferenceMatch(name.c_str(), pattern.c_str()))
            return true;
    }
    return false;
}

std::string RandomList(std::mt19937& random) {
    std::string text;
    const int items = int(random() % 4);
    for (int i = 0; i < items; ++i)
        text += (random() % 3 == 0 ? std::string(";;") : std::string(";")) + RandomPattern(random);
    if (random() % 2)
        text += ';';
    return random() % 2 ? text : text.substr(text.empty() ? 0 : 1);
}

// Included when there is no list or some item matches; excluded only when a list exists and an
// item matches; passes when included and not excluded.
bool CheckFilterDecision(std::mt19937& random, const std::string& name) {
    const std::string include = RandomList(random), exclude = RandomList(random);
    std::vector<std::string> includeList, excludeList;
    bool hasInclude = true, hasExclude = true;
    MakePatternList(include.c_str(), includeList, hasInclude);
    MakePatternList(exclude.c_str(), excludeList, hasExclude);
    if (hasInclude != !include.empty() || hasExclude != !exclude.empty())
        return false;
    if (includeList != ReferenceSplit(include) || excludeList != ReferenceSplit(exclude))
        return false;
    const bool passes = (!hasInclude || AnyPatternMatches(includeList, name.c_str())) &&
                        !(hasExclude && AnyPatternMatches(excludeList, name.c_str()));
    const bool expected = (include.empty() || ReferenceAny(ReferenceSplit(include), name)) &&
                          !(!exclude.empty() && ReferenceAny(ReferenceSplit(exclude), name));
    return passes == expected;
}

[[maybe_unused]] bool CheckOneCase(std::mt19937& random) {
    const std::string name = RandomName(random), pattern = RandomPattern(random);
    const bool matched = MatchWildcard(name.c_str(), pattern.c_str()) != 0;
    if (matched != ReferenceMatch(name.c_str(), pattern.c_str()))
        return false;
    if (MatchWildcard(nullptr, pattern.c_str()) != 0 || MatchWildcard(name.c_str(), nullptr) != 0)
        return false;
    return CheckFilterDecision(random, name);
}

} // namespace

#if defined(ORVANE_LIBFUZZER)
// The input is a name, a NUL and a pattern; long ones are cut.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), std::min<size_t>(size, 40));
    const size_t nul = input.find('\0');
    const std::string name = input.substr(0, nul);
    const std::string pattern = nul == std::string::npos ? std::string() : input.substr(nul + 1);
    if ((MatchWildcard(name.c_str(), pattern.c_str()) != 0) != ReferenceMatch(name.c_str(), pattern.c_str()))
        std::abort();
    return 0;
}
#else
FUZZ_ENTRY("wildcard", CheckOneCase)
#endif
