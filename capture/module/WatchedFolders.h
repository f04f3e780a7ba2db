// Which files the capture keeps the old content of: those below the folders the tracker watches,
// never the tracker's own store. Names are compared case-blind, as the file system compares them:
// each character upper-cased on its own, by the invariant table (ordinal, no language's rules).
//
// Built once, while the capture starts; read-only afterwards, so any thread may ask.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace capture {

// How the Win32 layer hands every DOS path to the kernel: "C:\x" becomes "\??\C:\x".
constexpr wchar_t kDosDevicesPrefix[] = L"\\??\\";
constexpr size_t kDosDevicesPrefixUnits = 4;

class WatchedFolders {
public:
    // `list` holds DOS paths separated by '|' ("C:\windows|C:\Program Files"); empty parts and
    // trailing separators are dropped. Files in `store` and below it are never kept.
    void Parse(const std::wstring& list, const std::wstring& store);
    bool empty() const { return folders_.empty(); }
    const std::vector<std::wstring>& folders() const { return folders_; }

    // The DOS path of the NT name `ntName` ("\??\C:\dir\file", `units` UTF-16 units, not
    // terminated) when it names something below a watched folder and outside the store; empty
    // otherwise. A name outside every folder costs a prefix compare. A stream's name ("file:s")
    // and a name ending in a separator (a folder's) are not files whose content is kept.
    std::wstring DosPathBelow(const wchar_t* ntName, size_t units) const;

    // Whether the NT name `ntName` has a short (8.3) alias among the components that lead to a
    // watched folder ("\??\C:\PROGRA~1\..." for "C:\Program Files"), so that its long form may lie
    // below one although the name as given does not. Only a '~' there says so: every short alias
    // has one, and a name with none costs no look-up of its long form.
    bool MayReachByShortName(const wchar_t* ntName, size_t units) const;

private:
    std::vector<std::wstring> folders_; // upper-cased, without a trailing separator
    std::wstring store_;                // upper-cased; empty when none
};

// The character upper-cased by the invariant table, one for one; ASCII without a call.
wchar_t UpperOrdinal(wchar_t c);
std::wstring UpperOrdinal(const std::wstring& text);

} // namespace capture
