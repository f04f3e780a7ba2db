// One registry change record, shared by the host, Orvane.dll and Kelmira.dll. The field order and
// types are part of the binary contract: do not reorder.
#pragma once

#include <cstdint>
#include <string>

#if defined(KELMIRA_BUILDING)
#define KELMIRA_API __declspec(dllexport)
#else
#define KELMIRA_API __declspec(dllimport)
#endif

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
// case-insensitive: one registry value is one record. Paths are in the ANSI code page; a two-byte
// character compares as a unit and is never folded.
KELMIRA_API bool operator<(const _ConfInfo& left, const _ConfInfo& right);

} // namespace IConfInfoInc
