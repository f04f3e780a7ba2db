#include "host/track/result/RegistryNoise.h"

#include <cctype>

namespace track {

namespace {

struct NoiseKey {
    const char* key; // below the hive's root, lower case, ending in a backslash
    const char* reason;
};

constexpr const char* kShellFolders =
    "shell folder cache: the shell writes it for any program that asks for a folder";
constexpr const char* kShellState = "shell view and history state, kept by the shell for any program";
constexpr const char* kInstaller = "Windows Installer's own record of what it installed";

const NoiseKey kNoiseKeys[] = {
    {"software\\microsoft\\windows\\currentversion\\explorer\\shell folders\\", kShellFolders},
    {"software\\microsoft\\windows\\currentversion\\explorer\\user shell folders\\", kShellFolders},
    {"software\\microsoft\\windows\\currentversion\\explorer\\mountpoints2\\", kShellState},
    {"software\\microsoft\\windows\\currentversion\\explorer\\recentdocs\\", kShellState},
    {"software\\microsoft\\windows\\currentversion\\explorer\\comdlg32\\", kShellState},
    {"software\\microsoft\\windows\\currentversion\\explorer\\userassist\\", kShellState},
    {"software\\microsoft\\windows\\shell\\", kShellState},
    {"software\\microsoft\\windows\\shellnoroam\\", kShellState},
    {"software\\classes\\local settings\\software\\microsoft\\windows\\shell\\", kShellState},
    {"software\\microsoft\\cryptography\\rng\\", "random number seed the system keeps"},
    {"software\\microsoft\\tracing\\", "diagnostic tracing state the system keeps"},
    {"software\\microsoft\\windows\\currentversion\\internet settings\\cache\\", "Internet cache state"},
    {"software\\microsoft\\windows\\currentversion\\internet settings\\5.0\\cache\\", "Internet cache state"},
    {"software\\wine\\", "Wine's own state (the menu entries it makes for shortcuts, its settings)"},
    {"software\\microsoft\\windows\\currentversion\\installer\\", kInstaller},
    {"software\\microsoft\\installer\\", kInstaller},
    {"software\\classes\\installer\\", kInstaller},
};

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The path below its hive's root, lower case, with a 32-bit program's redirection folded away.
std::string KeyBelowRoot(const std::string& path) {
    std::string lower = Lower(path);
    size_t start = lower.find('\\');
    if (start == std::string::npos)
        return std::string();
    bool userClasses = false;
    if (lower.compare(0, start, "hkey_users") == 0) {
        const size_t sidEnd = lower.find('\\', start + 1);
        if (sidEnd == std::string::npos)
            return std::string();
        // "<sid>_Classes" is that user's Software\Classes
        userClasses = sidEnd - start > 8 && lower.compare(sidEnd - 8, 8, "_classes") == 0;
        start = sidEnd;
    }
    lower.erase(0, start + 1);
    if (userClasses)
        lower = "software\\classes\\" + lower;
    for (const char* node : {"software\\wow6432node\\", "software\\classes\\wow6432node\\"}) {
        const std::string prefix(node);
        if (lower.compare(0, prefix.size(), prefix) == 0)
            lower.erase(prefix.size() - std::string("wow6432node\\").size(),
                        std::string("wow6432node\\").size());
    }
    return lower;
}

bool IsGuidKey(const std::string& name) {
    if (name.size() != 38 || name.front() != '{' || name.back() != '}')
        return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? name[i] != '-' : !std::isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

// Windows Installer registers each product it installs under its product code, a GUID; a package
// made from the report registers itself again under its own.
bool IsInstallerUninstallEntry(const std::string& key) {
    const std::string uninstall = "software\\microsoft\\windows\\currentversion\\uninstall\\";
    if (key.compare(0, uninstall.size(), uninstall) != 0)
        return false;
    const size_t end = key.find('\\', uninstall.size());
    return end != std::string::npos && IsGuidKey(key.substr(uninstall.size(), end - uninstall.size()));
}

} // namespace

std::string RegistryNoiseReason(const std::string& path) {
    const std::string key = KeyBelowRoot(path);
    for (const NoiseKey& noise : kNoiseKeys) {
        if (key.compare(0, std::char_traits<char>::length(noise.key), noise.key) == 0)
            return noise.reason;
    }
    if (IsInstallerUninstallEntry(key))
        return "Windows Installer's registration of the product, which its package makes again";
    return std::string();
}

} // namespace track
