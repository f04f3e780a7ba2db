// The true names of recorded files. The library hands out paths in the ANSI code page, so a
// character that page cannot hold arrives as '?' or as a look-alike ("best fit"); the file itself
// keeps its real UTF-16 name. These functions find that name again on disk, so that reports,
// scripts and packages name the file the setup really made.
#pragma once

#include "host/track/result/TextEncoding.h"

#include <string>

namespace track {

// The UTF-16 name of the file or folder `ansiPath` stands for: the plain conversion when that
// names something, otherwise, folder by folder, the one entry whose ANSI form is exactly the
// recorded one. Empty when nothing on disk matches (the file is gone, or the match is ambiguous).
std::wstring FindRealName(const std::string& ansiPath);

// The 8.3 form of an existing path when the path holds characters beyond ASCII and that form is
// plain ASCII: it names the same file in any code page, which is what a cmd script needs (cmd
// reads a script in the console's code page). Empty otherwise.
std::string AsciiShortPath(const std::wstring& path);

} // namespace track
