#include "host/track/NoiseReason.h"

#include "boundary/PathElimination.h"
#include "common/UniqueHandle.h"

#include <iterator>

namespace track {

namespace {

const char kBookkeeping[] = "installer bookkeeping: the installer's own records, not part of the product";
const char kShellView[] = "shell view file: Windows writes one for any folder it displays";
const char kSystemManaged[] = "system-maintained location: Windows manages what is there, not the setup";

// Why the library calls a path with each of its noise fragments noise, fragment by fragment.
const char* const kFragmentReasons[] = {
    kBookkeeping,   // InstallShield Installation Information folder
    kShellView,     // desktop.ini
    kShellView,     // Folder.jpg
    kShellView,     // Thumbs.db
    kSystemManaged, // CatRoot folder
    kSystemManaged, // CatRoot2 folder
    kBookkeeping,   // InstallShield folder
    kBookkeeping,   // Installer folder
    kSystemManaged, // windows Temp folder
    kSystemManaged, // winevt folder
    kSystemManaged, // windows Prefetch folder
    kSystemManaged, // system32 restore folder
    kSystemManaged, // system32 winevt Logs folder
    kSystemManaged, // windows winsxs folder
};
static_assert(std::size(kFragmentReasons) == kNoisePathFragments.size(), "one reason per noise fragment");

} // namespace

std::string NoiseReason(const std::string& path, const PathFacts& facts) {
    if (!facts.exists)
        return "no longer exists, so there is nothing to package";
    // Matched as the library does: exact case, anywhere in the path, in the library's order.
    for (size_t i = 0; i < kNoisePathFragments.size(); ++i) {
        if (path.find(kNoisePathFragments[i]) != std::string::npos)
            return kFragmentReasons[i];
    }
    if (!facts.readable)
        return "cannot be opened for reading (a folder, locked, or access denied)";
    return "judged noise by Orvane.dll";
}

bool HasNoiseFragment(const std::string& path) {
    for (const auto& fragment : kNoisePathFragments) {
        if (path.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

PathFacts ProbePath(const std::wstring& path) {
    PathFacts facts;
    facts.exists = ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (facts.exists) {
        UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        facts.readable = file.valid();
    }
    return facts;
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
