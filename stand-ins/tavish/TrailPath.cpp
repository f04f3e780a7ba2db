#include "stand-ins/tavish/ITavishInc.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shlobj.h>

#include <cstring>

namespace {

struct FolderToken {
    const char* token;
    int csidl;
};

// The folder in the ANSI code page; empty when the shell cannot tell or the name does not convert.
// SHGetFolderPathW rather than SHGetKnownFolderPath, which Windows XP lacks: every token has a CSIDL.
std::string ShellFolderPathAnsi(int csidl) {
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

const FolderToken kFolderTokens[] = {
    {"{pf}", CSIDL_PROGRAM_FILES},      {"{win}", CSIDL_WINDOWS},
    {"{menu}", CSIDL_COMMON_STARTMENU}, {"{desk}", CSIDL_COMMON_DESKTOPDIRECTORY},
    {"{user_menu}", CSIDL_STARTMENU},   {"{user_desk}", CSIDL_DESKTOPDIRECTORY},
};

// 0 (CSIDL_DESKTOP, the shell's virtual root, which no token names) for an unknown token.
int FolderOf(const std::string& token) {
    for (const FolderToken& entry : kFolderTokens) {
        if (token == entry.token)
            return entry.csidl;
    }
    return 0;
}

} // namespace

const std::string& ITavishInc::TrailPath(const std::string& token, const std::string& tail) {
    thread_local std::string result;
    result.clear();
    try {
        if (const int csidl = FolderOf(token)) {
            result = ShellFolderPathAnsi(csidl);
            if (!result.empty())
                result += tail;
        }
    } catch (...) {
        result.clear();
    }
    return result;
}
