// The filters' pattern lists and their wildcard matcher, free of Win32 so that the native fuzz lane
// builds the same source the engine does.
#pragma once

#include <string>
#include <vector>

// Items are maximal runs of characters other than ';', blanks included.
std::vector<std::string> SplitPatterns(const char* text);

// A null or empty string leaves the list absent; a string of separators only gives a list that
// exists but is empty (which then includes nothing and excludes nothing).
bool MakePatternList(const char* text, std::vector<std::string>& list, bool& exists);

// Tries the patterns in list order and stops at the first match.
bool AnyPatternMatches(const std::vector<std::string>& patterns, const char* name);

// '*' matches any run (backslashes included), '?' one character; everything else byte for byte.
// Nonzero on a match; int is the Win32 BOOL, which the engine's own declaration spells.
int MatchWildcard(const char* name, const char* pattern);
