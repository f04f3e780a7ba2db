#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <climits>

namespace track {

namespace {

std::wstring ToWide(UINT codePage, const std::string& text) {
    if (text.empty() || text.size() > INT_MAX / 2)
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string FromWide(UINT codePage, const std::wstring& wide) {
    if (wide.empty() || wide.size() > INT_MAX / 4)
        return std::string();
    const int length = static_cast<int>(wide.size());
    const int size = ::WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string text(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), length, text.data(), size, nullptr, nullptr);
    return text;
}

} // namespace

std::wstring AnsiToWide(const std::string& text) {
    return ToWide(CP_ACP, text);
}

std::string AnsiToUtf8(const std::string& text) {
    return FromWide(CP_UTF8, AnsiToWide(text));
}

std::string WideToAnsi(const std::wstring& wide) {
    return FromWide(CP_ACP, wide);
}

std::string WideToUtf8(const std::wstring& wide) {
    return FromWide(CP_UTF8, wide);
}

std::wstring Utf8ToWide(const std::string& utf8) {
    return ToWide(CP_UTF8, utf8);
}

// LCMapStringW upper-cases by the file system's table unless LCMAP_LINGUISTIC_CASING is given, one
// character for one, and the invariant locale keeps the user's language (a Turkish dotted I) out.
// Text it cannot map is compared as it is.
std::string AsciiUpper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::wstring UpperOrdinal(const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX)
        return text;
    const int length = static_cast<int>(text.size());
    std::wstring upper(text.size(), L'\0');
    if (::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(), length, upper.data(), length) !=
        length)
        return text;
    return upper;
}

bool SameIgnoringCaseOrdinal(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && UpperOrdinal(a) == UpperOrdinal(b);
}

} // namespace track
