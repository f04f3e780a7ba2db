#include "ITavishInc.h"

#include "common/Win32.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>

namespace {

struct FolderToken {
    const char* token;
    const KNOWNFOLDERID* folder;
};

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

// The folder in the ANSI code page, as the rest of the system keeps paths; empty on failure.
std::string KnownFolderPath(const KNOWNFOLDERID& folder) {
    PWSTR wide = nullptr;
    std::string narrow;
    if (SUCCEEDED(::SHGetKnownFolderPath(folder, 0, nullptr, &wide))) {
        const int size = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        if (size > 1) {
            narrow.resize(static_cast<size_t>(size));
            ::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow.data(), size, nullptr, nullptr);
            narrow.resize(static_cast<size_t>(size - 1));
        }
    }
    ::CoTaskMemFree(wide);
    return narrow;
}

} // namespace

const std::string& ITavishInc::TrailPath(const std::string& token, const std::string& tail) {
    thread_local std::string result;
    result.clear();
    try {
        if (const KNOWNFOLDERID* folder = FolderOf(token)) {
            result = KnownFolderPath(*folder);
            if (!result.empty())
                result += tail;
        }
    } catch (...) {
        result.clear();
    }
    return result;
}
