#include "capture/module/WatchedFolders.h"

#include "common/Win32.h"

namespace capture {

namespace {

std::wstring Trimmed(std::wstring folder) {
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    return folder;
}

// Whether `text` begins with `upper` (already upper-cased), case-blind.
bool BeginsWith(const wchar_t* text, size_t units, const std::wstring& upper) {
    if (units < upper.size())
        return false;
    for (size_t i = 0; i < upper.size(); ++i) {
        if (text[i] != upper[i] && UpperOrdinal(text[i]) != upper[i])
            return false;
    }
    return true;
}

// Whether `path` is `folder` itself or lies below it.
bool Within(const wchar_t* path, size_t units, const std::wstring& folder) {
    return BeginsWith(path, units, folder) && (units == folder.size() || path[folder.size()] == L'\\');
}

} // namespace

wchar_t UpperOrdinal(wchar_t c) {
    if (c < 0x80)
        return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
    wchar_t upper = c;
    if (::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &c, 1, &upper, 1) != 1)
        return c;
    return upper;
}

std::wstring UpperOrdinal(const std::wstring& text) {
    std::wstring upper(text);
    for (wchar_t& c : upper)
        c = UpperOrdinal(c);
    return upper;
}

void WatchedFolders::Parse(const std::wstring& list, const std::wstring& store) {
    folders_.clear();
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(L'|', start);
        if (end == std::wstring::npos)
            end = list.size();
        const std::wstring folder = Trimmed(list.substr(start, end - start));
        if (!folder.empty())
            folders_.push_back(UpperOrdinal(folder));
        start = end + 1;
    }
    store_ = UpperOrdinal(Trimmed(store));
}

std::wstring WatchedFolders::DosPathBelow(const wchar_t* ntName, size_t units) const {
    if (ntName == nullptr || units <= kDosDevicesPrefixUnits ||
        std::wstring::traits_type::compare(ntName, kDosDevicesPrefix, kDosDevicesPrefixUnits) != 0)
        return std::wstring();
    const wchar_t* path = ntName + kDosDevicesPrefixUnits;
    const size_t length = units - kDosDevicesPrefixUnits;
    bool below = false;
    for (const std::wstring& folder : folders_) {
        if (length > folder.size() + 1 && path[folder.size()] == L'\\' && BeginsWith(path, length, folder)) {
            below = true;
            break;
        }
    }
    if (!below || path[length - 1] == L'\\' || (!store_.empty() && Within(path, length, store_)))
        return std::wstring();
    for (size_t i = 2; i < length; ++i) {
        if (path[i] == L':')
            return std::wstring();
    }
    return std::wstring(path, length);
}

bool WatchedFolders::MayReachByShortName(const wchar_t* ntName, size_t units) const {
    if (ntName == nullptr || units <= kDosDevicesPrefixUnits ||
        std::wstring::traits_type::compare(ntName, kDosDevicesPrefix, kDosDevicesPrefixUnits) != 0)
        return false;
    const wchar_t* path = ntName + kDosDevicesPrefixUnits;
    const size_t length = units - kDosDevicesPrefixUnits;
    size_t alias = 0;
    while (alias < length && path[alias] != L'~')
        ++alias;
    if (alias == length)
        return false;
    // The components before the one with the '~' must lead towards a watched folder.
    size_t lead = alias;
    while (lead > 0 && path[lead - 1] != L'\\')
        --lead;
    for (const std::wstring& folder : folders_) {
        if (lead <= folder.size() + 1 && BeginsWith(path, lead, (folder + L'\\').substr(0, lead)))
            return true;
    }
    return false;
}

} // namespace capture
