#pragma once

#include <array>
#include <string>

// Fragments that mark a path as installer bookkeeping, shell-generated or system-maintained.
// Tested as plain, case-sensitive substrings, in this order.
inline constexpr std::array<const char*, 14> kNoisePathFragments = {
    "\\InstallShield Installation Information\\",
    "\\desktop.ini",
    "\\Folder.jpg",
    "\\Thumbs.db",
    "\\CatRoot\\",
    "\\CatRoot2\\",
    "\\InstallShield\\",
    "\\Installer\\",
    "\\windows\\Temp\\",
    "\\winevt\\",
    "\\windows\\Prefetch\\",
    "\\windows\\system32\\restore\\",
    "\\windows\\system32\\winevt\\Logs\\",
    "\\windows\\winsxs\\",
};

// True when a file or directory exists at `path` (ANSI code page). A path that cannot be
// converted, or that holds a NUL before its end, names nothing and does not exist.
bool PathExists(const std::string& path) noexcept;
