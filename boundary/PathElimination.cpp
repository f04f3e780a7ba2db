#include "boundary/PathElimination.h"

#include "include/IOrvaneInc.h"

#include "common/NoiseFragments.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "common/Wow64.h"

#include <climits>
#include <string_view>
#include <vector>

namespace {

bool ContainsNoiseFragment(const std::string& path) {
    for (const NoiseFragment& fragment : kNoiseFragments) {
        if (path.find(fragment.text) != std::string::npos)
            return true;
    }
    return false;
}

// A read-only open of an existing file that lets every other opener read and write. Directories
// do not open this way (no backup semantics), so they count as unopenable.
bool OpensForReading(const std::string& path) noexcept {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

} // namespace

bool PathExists(const std::string& path) noexcept {
    // The whole string with its terminating NUL; a NUL inside the string would make the system
    // test a shorter path than the caller named.
    if (path.find('\0') != std::string::npos || path.size() >= INT_MAX)
        return false;
    const int length = static_cast<int>(path.size()) + 1;
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), length, nullptr, 0);
    if (needed <= 1)
        return false;
    std::vector<wchar_t> wide;
    try {
        wide.resize(static_cast<size_t>(needed));
    } catch (...) {
        return false;
    }
    if (::MultiByteToWideChar(CP_ACP, 0, path.c_str(), length, wide.data(), needed) <= 1)
        return false;
    return ::GetFileAttributesW(wide.data()) != INVALID_FILE_ATTRIBUTES;
}

// The path names a file on disk, as the setup that wrote it saw it; under WoW64 a 32-bit caller's
// "system32" would otherwise be tested in the 32-bit system folder, where the file is not.
bool IOrvaneInc::IsEliminatePath(const std::string& path) {
    try {
        const Wow64RedirectionOff nativePaths;
        if (!PathExists(path))
            return true;
        if (ContainsNoiseFragment(path))
            return true;
        return !OpensForReading(path);
    } catch (...) {
        return true;
    }
}
