#include "host/track/TextEncoding.h"

#include "common/Win32.h"

#include <climits>

namespace track {

std::wstring AnsiToWide(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX / 2)
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string AnsiToUtf8(const std::string& text) {
    const std::wstring wide = AnsiToWide(text);
    if (wide.empty())
        return std::string();
    const int length = static_cast<int>(wide.size());
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), size, nullptr, nullptr);
    return utf8;
}

} // namespace track
