#pragma once

#include <string>

// True when a file or directory exists at `path` (ANSI code page). A path that cannot be
// converted, or that holds a NUL before its end, names nothing and does not exist.
bool PathExists(const std::string& path) noexcept;
