// Conversions from the ANSI code page, in which the library hands out paths and string data.
#pragma once

#include <string>

namespace track {

// Both convert every byte, embedded NULs included; bytes the code page cannot map become U+FFFD.
std::wstring AnsiToWide(const std::string& text);
std::string AnsiToUtf8(const std::string& text);

} // namespace track
