#include "capture/inject/DllImportName.h"

#include "common/Win32.h"

#include <algorithm>
#include <utility>

namespace capture {
namespace {

// The buffer-size protocol GetFullPathNameW and GetShortPathNameW share: too small a buffer answers
// the size needed, terminator included. Empty on failure.
template <typename Query>
std::wstring GrowingQuery(Query query) {
    std::wstring result(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = query(&result[0], static_cast<DWORD>(result.size()));
        if (length == 0)
            return std::wstring();
        if (length < result.size()) {
            result.resize(length);
            return result;
        }
        result.resize(length);
    }
    return std::wstring();
}

std::wstring FullPathOf(const std::wstring& path) {
    return GrowingQuery([&path](wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
}

std::wstring ShortPathOf(const std::wstring& path) {
    return GrowingQuery(
        [&path](wchar_t* buffer, DWORD size) { return ::GetShortPathNameW(path.c_str(), buffer, size); });
}

bool AsAscii(const std::wstring& text, std::string& ascii) {
    std::string narrow;
    narrow.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == L'\0' || c >= 0x80)
            return false;
        narrow.push_back(static_cast<char>(c));
    }
    ascii = std::move(narrow);
    return true;
}

} // namespace

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

InjectionResult ChooseImportName(const std::wstring& fullPath, const std::wstring& shortPath,
                                 std::string& name) {
    if (AsAscii(fullPath, name))
        return kStepDone;
    if (!shortPath.empty() && AsAscii(shortPath, name))
        return kStepDone;
    return InjectionResult::DllPathUnusable;
}

InjectionResult ImportNameForDll(const std::wstring& dllPath, std::string& name) {
    if (dllPath.empty())
        return InjectionResult::DllMissing;
    const std::wstring fullPath = FullPathOf(dllPath);
    if (fullPath.empty() || !IsFile(fullPath))
        return InjectionResult::DllMissing;
    // The short form only when it is needed: making it looks up every folder of the path.
    const bool ascii = std::all_of(fullPath.begin(), fullPath.end(), [](wchar_t c) { return c < 0x80; });
    return ChooseImportName(fullPath, ascii ? std::wstring() : ShortPathOf(fullPath), name);
}

} // namespace capture
