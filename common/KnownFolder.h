// A known folder as the shell names it, in the ANSI code page the rest of the system keeps paths
// in. Callers link shell32 and ole32.
#pragma once

#include "common/Win32.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <memory>
#include <string>

// Empty when the shell cannot tell or the name does not convert.
inline std::string KnownFolderPathAnsi(const KNOWNFOLDERID& folder) {
    PWSTR raw = nullptr;
    const HRESULT found = ::SHGetKnownFolderPath(folder, 0, nullptr, &raw);
    // The shell's buffer is ours to free, found or not.
    const std::unique_ptr<WCHAR, decltype(&::CoTaskMemFree)> wide(raw, &::CoTaskMemFree);
    if (FAILED(found) || !wide)
        return std::string();
    const int size = ::WideCharToMultiByte(CP_ACP, 0, wide.get(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, wide.get(), -1, narrow.data(), size, nullptr, nullptr) != size)
        return std::string();
    narrow.resize(static_cast<size_t>(size - 1));
    return narrow;
}
