#include "ITavishInc.h"

#include "common/KnownFolder.h"

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
