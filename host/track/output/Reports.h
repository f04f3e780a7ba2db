// The three forms of a tracked run's result: the report people read, JSON for other tools, and a
// registry script that puts the captured values back.
#pragma once

#include "host/track/result/TrackResult.h"

#include <string>

namespace track {

// A recorded path as UTF-8: its true name when the library's ANSI form lost characters.
std::string Utf8Path(const TrackResult& result, const std::string& path);

// The text report, in UTF-8: added files, (with `listEliminated`) the eliminated files and why, registry
// values with type and decoded data (with `listProcesses`, each followed by the process that wrote
// it last), and a summary line. Lines end in "\n".
std::string FormatTextReport(const TrackResult& result, bool listEliminated, bool listProcesses = false);

// " (setup.exe, pid 1234)": the process that wrote a value last, as the text report names it; the
// image alone when the log named no id, and "process unknown" when no captured line named it.
std::string ProcessSuffix(const RegistryValue& value);

// The summary line alone, without its line end.
std::string FormatSummary(const TrackResult& result);

// UTF-8 JSON. Every path and string is converted from the ANSI code page; each registry value
// carries its Base64 data as recorded and a decoded "value" (text, number, list of texts, or
// hex bytes for anything else).
std::string FormatJsonReport(const TrackResult& result);

// A registry script (Windows Registry Editor Version 5.00) in UTF-16LE with its byte-order mark
// and CRLF line ends, as regedit writes them, returned as the bytes of the file. Values are grouped
// under their keys in first-seen order; a value whose root is unknown or whose data is not valid
// Base64 is left out with a comment line saying so.
std::string FormatRegScript(const TrackResult& result);

} // namespace track
