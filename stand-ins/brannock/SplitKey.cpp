#include "stand-ins/brannock/IMendwellInc.h"
#include "stand-ins/brannock/ValueBoundary.h"

#include <cstring>

namespace {

// Closes an opened registry key when the lookup is done with it.
class OpenedKey {
public:
    explicit OpenedKey(HKEY key) noexcept : key_(key) {}
    ~OpenedKey() { ::RegCloseKey(key_); }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    HKEY get() const noexcept { return key_; }

private:
    HKEY key_;
};

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

bool IsAnsiLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByteEx(CP_ACP, byte) != FALSE;
}

// The key opens for reading and the value is there; its data is not fetched.
bool KeyHoldsValue(HKEY root, const std::string& subKey, const std::string& valueName) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    const OpenedKey key(opened);
    const LONG result = ::RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, nullptr);
    return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

} // namespace

HKEY IMendwellInc::SplitKey(const std::string& fullPath, std::string& subKey, std::string& valueName) {
    subKey.clear();
    valueName.clear();
    try {
        for (const RootName& root : kRoots) {
            if (!StartsWithRoot(fullPath, root.name))
                continue;
            const std::string belowRoot = fullPath.substr(std::strlen(root.name) + 1);
            const HKEY rootKey = root.key;
            brannock::SplitAtValue(
                belowRoot, IsAnsiLeadByte,
                [rootKey](const std::string& sub, const std::string& value) {
                    return KeyHoldsValue(rootKey, sub, value);
                },
                subKey, valueName);
            return root.key;
        }
    } catch (...) {
        subKey.clear();
        valueName.clear();
    }
    return nullptr;
}
