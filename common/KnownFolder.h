// A standard folder as the shell names it, in the ANSI code page the rest of the system keeps paths
// in. Callers link shell32.
//
// The folder is named by its CSIDL and found with SHGetFolderPathW, which every Windows from 2000 on
// exports; SHGetKnownFolderPath came with Vista, and an image that imports it does not load on XP.
#pragma once

#include "common/Win32.h"

#include <shlobj.h>

#include <string>

// Empty when the shell cannot tell or the name does not convert.
inline std::string KnownFolderPathAnsi(int csidl) {
    WCHAR wide[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, wide)) || wide[0] == L'\0')
        return std::string();
    const int size = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow.data(), size, nullptr, nullptr) != size)
        return std::string();
    narrow.resize(static_cast<size_t>(size - 1));
    return narrow;
}
