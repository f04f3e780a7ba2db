// Turning the registry-monitor driver's log lines into registry change records, in three passes:
// keep the relevant lines, let deleted keys cancel the writes below them, read the surviving values
// back from the live registry. Passes 1 and 2 are pure; pass 3 reads the registry.
#pragma once

#include "include/IConfInfoInc.h"
#include "registry/RawLineList.h"

#include <list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// One kept log line: its five tab-separated fields, in the order of the line.
struct _RegLogEntry {
    std::string process;
    std::string operation;
    std::string path;
    std::string result;
    std::string detail;
};

// The operation that removes a key, and everything below it.
inline constexpr std::string_view kDeleteKey = "DeleteKey";

inline bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Appends the pieces of `text` between occurrences of `delimiter` to `fields`. Empty pieces between
// two delimiters and an empty first piece are appended; an empty last piece (text ending in the
// delimiter) is not, and an empty text gives none. An empty delimiter gives the whole text as one
// piece (there is nothing to split on).
void SplitString(const std::string& text, const std::string& delimiter, std::vector<std::string>& fields);

// The same split on a tab, without copies: true when the line gives exactly five pieces, which are
// then in `fields` (views into `line`).
bool SplitLogFields(std::string_view line, std::string_view (&fields)[5]);

// Pass 1: appends to `entries`, in line order, each line of five fields that names a successful
// "SetValue..." or "DeleteKey..." operation of a process that is not excluded, on a path that is
// not below HKCU\CLSID.
void KeepLogLines(const RawLineList& rawLines, std::list<_RegLogEntry>& entries);

// Pass 2: every entry that lies below the key of an entry after it whose operation is exactly
// "DeleteKey" (its path is that key's path, a backslash, and more; an empty deleted path stands for
// every key) gets "DeleteKey" as its operation. A value written again after its key was deleted
// stays, and so does one below a key whose name only begins like the deleted one. One walk from
// the end: about the entries' total length in hash lookups.
void CancelDeletedKeys(std::list<_RegLogEntry>& entries);

// Pass 3: for each entry, in order, whose operation is exactly "SetValue" and result "SUCCESS",
// reads the value back and inserts its record into `changes` (the first of equal records stays).
// Each distinct path is read once: a second read of the same value would give an identical
// record, which the set would discard.
void ReadBackValues(const std::list<_RegLogEntry>& entries, std::set<IConfInfoInc::_ConfInfo>& changes);

// The change record of the value a log path names, as the registry holds it now: kind "register",
// the path as given, the data in Base64, the value's type. False when the path cannot be split,
// the key cannot be opened with full access, or the value cannot be read.
bool ReadValueRecord(const std::string& path, IConfInfoInc::_ConfInfo& record);
