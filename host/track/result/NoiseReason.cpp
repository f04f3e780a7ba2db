#include "host/track/result/NoiseReason.h"

#include "common/NoiseFragments.h"
#include "common/UniqueHandle.h"
#include "common/Wow64.h"

namespace track {

std::string NoiseReason(const std::string& path, const PathFacts& facts) {
    if (!facts.exists)
        return "no longer exists, so there is nothing to package";
    // Matched as the library does: exact case, anywhere in the path, in the library's order.
    for (const NoiseFragment& fragment : kNoiseFragments) {
        if (path.find(fragment.text) != std::string::npos)
            return fragment.reason;
    }
    if (!facts.readable)
        return "cannot be opened for reading (a folder, locked, or access denied)";
    return "judged noise by Orvane.dll";
}

bool HasNoiseFragment(const std::string& path) {
    for (const NoiseFragment& fragment : kNoiseFragments) {
        if (path.find(fragment.text) != std::string::npos)
            return true;
    }
    return false;
}

PathFacts ProbePath(const std::wstring& path) {
    const Wow64RedirectionOff nativePaths;
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
    const Wow64RedirectionOff nativePaths;
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
