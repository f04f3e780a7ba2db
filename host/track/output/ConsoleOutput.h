// Text for standard output. A console is written through the wide console API, so every character
// shows whatever the console's code page; anything else (a file, a pipe) gets the UTF-8 bytes.
#pragma once

#include <string>

namespace track {

// Writes UTF-8 text to standard output; answers false when the output refused it.
bool WriteStandardOutput(const std::string& utf8);

} // namespace track
