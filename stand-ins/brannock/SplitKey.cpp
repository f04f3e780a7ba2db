#include "IMendwellInc.h"

#include <cstring>

namespace {

struct RootName {
    const char* name;
    HKEY key;
};

const RootName kRoots[] = {
    {"HKLM", HKEY_LOCAL_MACHINE},
    {"HKCU", HKEY_CURRENT_USER},
    {"HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_USERS", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
};

char FoldAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `path` begins with `root` (ASCII letters in any case) followed by a backslash.
bool StartsWithRoot(const std::string& path, const char* root) {
    const size_t length = std::strlen(root);
    if (path.size() <= length || path[length] != '\\')
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (FoldAscii(path[i]) != root[i])
            return false;
    }
    return true;
}

} // namespace

HKEY IMendwellInc::SplitKey(const std::string& fullPath, std::string& subKey, std::string& valueName) {
    subKey.clear();
    valueName.clear();
    try {
        for (const RootName& root : kRoots) {
            if (!StartsWithRoot(fullPath, root.name))
                continue;
            const size_t below = std::strlen(root.name) + 1;
            const size_t last = fullPath.rfind('\\');
            if (last >= below)
                subKey.assign(fullPath, below, last - below);
            valueName.assign(fullPath, last + 1, std::string::npos);
            return root.key;
        }
    } catch (...) {
        subKey.clear();
        valueName.clear();
    }
    return nullptr;
}
