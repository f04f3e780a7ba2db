#include "host/track/result/RealNames.h"

#include "host/track/result/TextEncoding.h"

#include "common/UniqueHandle.h"
#include "common/Wow64.h"

#include <vector>

namespace track {

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The one entry of `folder` whose ANSI form is `ansiName`; empty when none or several match.
std::wstring MatchEntry(const std::wstring& folder, const std::string& ansiName) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find)
        return std::wstring();
    std::wstring match;
    int matches = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L".." && WideToAnsi(name) == ansiName) {
            match = name;
            ++matches;
        }
    } while (::FindNextFileW(find.get(), &entry));
    return matches == 1 ? match : std::wstring();
}

} // namespace

std::string AsciiShortPath(const std::wstring& path) {
    const Wow64RedirectionOff nativePaths;
    auto isAscii = [](const std::wstring& text) {
        for (wchar_t c : text) {
            if (c >= 0x80)
                return false;
        }
        return true;
    };
    if (isAscii(path))
        return std::string();
    const DWORD size = ::GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0)
        return std::string();
    std::wstring shortPath(size, L'\0');
    const DWORD length = ::GetShortPathNameW(path.c_str(), shortPath.data(), size);
    if (length == 0 || length >= size)
        return std::string();
    shortPath.resize(length);
    return isAscii(shortPath) ? WideToUtf8(shortPath) : std::string();
}

// Paths are looked up as they name files on disk: a 64-bit setup's "system32" is not the 32-bit
// tracker's.
std::wstring FindRealName(const std::string& ansiPath) {
    const Wow64RedirectionOff nativePaths;
    const std::wstring plain = AnsiToWide(ansiPath);
    if (!plain.empty() && Exists(plain))
        return plain;
    const std::vector<std::string> parts = Components(ansiPath);
    if (parts.size() < 2)
        return std::wstring();
    std::wstring path = AnsiToWide(parts[0]); // the drive, "C:"
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::wstring direct = path + L"\\" + AnsiToWide(parts[i]);
        if (!parts[i].empty() && Exists(direct)) {
            path = direct;
            continue;
        }
        const std::wstring name = MatchEntry(path, parts[i]);
        if (name.empty())
            return std::wstring();
        path += L"\\" + name;
    }
    return path;
}

} // namespace track
