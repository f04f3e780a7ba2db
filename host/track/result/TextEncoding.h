// Conversions between the code pages the tracker meets: the ANSI code page, in which the library
// hands out paths and string data; UTF-16, in which the file system keeps names; UTF-8, in which
// the tracker writes its files.
#pragma once

#include <string>

namespace track {

// Both convert every byte, embedded NULs included; bytes the code page cannot map become U+FFFD.
std::wstring AnsiToWide(const std::string& text);
std::string AnsiToUtf8(const std::string& text);

// The ANSI form of a UTF-16 name, converted as the library converts notification names.
std::string WideToAnsi(const std::wstring& wide);
std::string WideToUtf8(const std::wstring& wide);
std::wstring Utf8ToWide(const std::string& utf8);

// Whether two names are one to the file system: equal once each character is upper-cased by the
// system's own table, ordinally, with no linguistic rule ("Ä" is "ä", but "é" is not "e" followed by
// a combining accent, nor "ß" "SS"). What CompareStringOrdinal answers with its ignore-case flag,
// which only Vista on has.
bool SameIgnoringCaseOrdinal(const std::wstring& a, const std::wstring& b);

// `text` with each character upper-cased as SameIgnoringCaseOrdinal compares it: a key under which
// names that differ only in letter case meet, as they do in the file system and the registry.
std::wstring UpperOrdinal(const std::wstring& text);

// `text` with the ASCII letters alone upper-cased: for UTF-8 paths matched as the library's
// ordering matches them.
std::string AsciiUpper(std::string text);

} // namespace track
