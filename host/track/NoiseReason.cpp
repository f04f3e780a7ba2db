#include "host/track/NoiseReason.h"

#include "common/UniqueHandle.h"

namespace track {

namespace {

struct NoiseLocation {
    const char* fragment; // matched as the library does: exact case, anywhere in the path
    const char* reason;
};

const char kBookkeeping[] = "installer bookkeeping: the installer's own records, not part of the product";
const char kShellView[] = "shell view file: Windows writes one for any folder it displays";
const char kSystemManaged[] = "system-maintained location: Windows manages what is there, not the setup";

const NoiseLocation kNoiseLocations[] = {
    {"\\InstallShield Installation Information\\", kBookkeeping},
    {"\\desktop.ini", kShellView},
    {"\\Folder.jpg", kShellView},
    {"\\Thumbs.db", kShellView},
    {"\\CatRoot\\", kSystemManaged},
    {"\\CatRoot2\\", kSystemManaged},
    {"\\InstallShield\\", kBookkeeping},
    {"\\Installer\\", kBookkeeping},
    {"\\windows\\Temp\\", kSystemManaged},
    {"\\winevt\\", kSystemManaged},
    {"\\windows\\Prefetch\\", kSystemManaged},
    {"\\windows\\system32\\restore\\", kSystemManaged},
    {"\\windows\\winsxs\\", kSystemManaged},
};

} // namespace

std::string NoiseReason(const std::string& path, const PathFacts& facts) {
    if (!facts.exists)
        return "no longer exists, so there is nothing to package";
    for (const NoiseLocation& location : kNoiseLocations) {
        if (path.find(location.fragment) != std::string::npos)
            return location.reason;
    }
    if (!facts.readable)
        return "cannot be opened for reading (a folder, locked, or access denied)";
    return "judged noise by Orvane.dll";
}

PathFacts ProbePath(const std::string& path) {
    PathFacts facts;
    facts.exists = ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (facts.exists) {
        UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        facts.readable = file.valid();
    }
    return facts;
}

} // namespace track
