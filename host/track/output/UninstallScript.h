// The uninstall script: a .cmd that removes exactly what a tracked run recorded.
#pragma once

#include "host/track/result/TrackResult.h"

#include <string>

namespace track {

// One name in a cmd script, as a double-quoted argument that cmd passes through untouched:
// spaces, &, ^, parentheses and ! are plain text inside quotes (delayed expansion is off), and %
// is doubled. A name holding a double quote cannot be written; the answer is then empty.
std::string QuoteForCmd(const std::string& utf8);

// The script, in UTF-8 with CR LF line ends: it switches the console to UTF-8 first, deletes each
// recorded file, removes each folder of `result.createdFolders` that is empty by then (deepest
// first; rmdir never removes a folder that still holds anything), and deletes each registry
// value with `reg delete KEY /v NAME /f` (`/ve` for a key's default value).
std::string FormatUninstallScript(const TrackResult& result);

} // namespace track
