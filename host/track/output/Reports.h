// The three forms of a tracked run's result: the report people read, JSON for other tools, and a
// registry script that puts the captured values back.
#pragma once

#include "host/track/result/TrackResult.h"

#include <string>

namespace track {

// A recorded path as UTF-8: its true name when the library's ANSI form lost characters.
std::string Utf8Path(const TrackResult& result, const std::string& path);

// The text report, in UTF-8: added, changed and removed files (size and time before and after),
// (with `listEliminated`) the eliminated files and why, registry values with type, decoded data and
// how each came about ("[new]", "[changed, was ...]", "[deleted, was ...]", "[unchanged]", "[old
// data unknown]") (with `listProcesses`, each followed by the process that wrote it last), created
// and deleted keys, what of the old state was not kept, and a summary line. Lines end in "\n".
std::string FormatTextReport(const TrackResult& result, bool listEliminated, bool listProcesses = false);

// " (setup.exe, pid 1234)": the process that wrote a value last, as the text report names it; the
// image alone when the log named no id, and "process unknown" when no captured line named it.
std::string ProcessSuffix(const RegistryValue& value);

// The summary line alone, without its line end.
std::string FormatSummary(const TrackResult& result);

// UTF-8 JSON. Every path and string is converted from the ANSI code page; each registry value
// carries its Base64 data as recorded and a decoded "value" (text, number, list of texts, or
// hex bytes for anything else), "change" and "before": null for a new value, its old type and data
// (Base64 of the bytes as the registry held them, strings in UTF-16) when kept, {"unknown": reason}
// otherwise. A deleted value's "data" and "value" are null. Files changed and removed carry their
// size and time (ISO 8601, UTC) before and after and whether their old content was kept.
std::string FormatJsonReport(const TrackResult& result);

// A JSON string from UTF-8 text, control characters escaped.
std::string JsonUtf8String(const std::string& utf8);

// A registry script (Windows Registry Editor Version 5.00) in UTF-16LE with its byte-order mark
// and CRLF line ends, as regedit writes them, returned as the bytes of the file. Values are grouped
// under their keys in first-seen order; a value whose root is unknown or whose data is not valid
// Base64 is left out with a comment line saying so. It reproduces the state after the setup: a
// deleted key as [-KEY], before every other key (what lay below it goes with it and is not named),
// a deleted value as "name"=-, a created key that holds no recorded value as its bare [KEY].
std::string FormatRegScript(const TrackResult& result);

} // namespace track
