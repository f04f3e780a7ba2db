#include "stand-ins/tavish/ITavishInc.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>
#include <memory>

namespace {

struct FolderToken {
    const char* token;
    const KNOWNFOLDERID* folder;
};

// The folder in the ANSI code page; empty when the shell cannot tell or the name does not convert.
std::string KnownFolderPathAnsi(const KNOWNFOLDERID& folder) {
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

const FolderToken kFolderTokens[] = {
    {"{pf}", &FOLDERID_ProgramFiles},      {"{win}", &FOLDERID_Windows},
    {"{menu}", &FOLDERID_CommonStartMenu}, {"{desk}", &FOLDERID_PublicDesktop},
    {"{user_menu}", &FOLDERID_StartMenu},  {"{user_desk}", &FOLDERID_Desktop},
};

const KNOWNFOLDERID* FolderOf(const std::string& token) {
    for (const FolderToken& entry : kFolderTokens) {
        if (token == entry.token)
            return entry.folder;
    }
    return nullptr;
}

} // namespace

const std::string& ITavishInc::TrailPath(const std::string& token, const std::string& tail) {
    thread_local std::string result;
    result.clear();
    try {
        if (const KNOWNFOLDERID* folder = FolderOf(token)) {
            result = KnownFolderPathAnsi(*folder);
            if (!result.empty())
                result += tail;
        }
    } catch (...) {
        result.clear();
    }
    return result;
}
