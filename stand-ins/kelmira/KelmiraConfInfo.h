// What the stand-in Kelmira.dll exports: the ordering of one registry change record. Its users see
// the same record and function through their own copy of the declaration; the field order and
// types are the binary contract between them, so both copies must stay field for field alike.
#pragma once

#include <cstdint>
#include <string>

namespace IConfInfoInc {

struct _ConfInfo {
    std::string kind;
    std::string path;
    std::string data;
    std::uint32_t valueType = 0;
    std::int32_t extra = 1;
    bool flag = true;
};

// Orders records by kind, then by path without regard to ASCII letter case, as registry names are
// case-insensitive: one registry value is one record. A two-byte character of the ANSI code page
// compares as one unit and is never folded, so its trail byte cannot pass for a letter.
__declspec(dllexport) bool operator<(const _ConfInfo& left, const _ConfInfo& right);

} // namespace IConfInfoInc
