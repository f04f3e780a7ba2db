#include "stand-ins/kelmira/AnsiPathOrder.h"
#include "stand-ins/kelmira/KelmiraConfInfo.h"

#include <windows.h>

namespace {

// Records carry paths in the process's ANSI code page, fixed for its lifetime, so the order stays
// the same for every comparison a set makes.
bool IsAnsiLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByteEx(CP_ACP, byte) != FALSE;
}

} // namespace

namespace IConfInfoInc {

bool operator<(const _ConfInfo& left, const _ConfInfo& right) {
    if (left.kind != right.kind)
        return left.kind < right.kind;
    return kelmira::CompareAnsiPaths(left.path, right.path, IsAnsiLeadByte) < 0;
}

} // namespace IConfInfoInc
