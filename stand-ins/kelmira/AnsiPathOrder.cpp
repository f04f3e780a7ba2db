#include "stand-ins/kelmira/AnsiPathOrder.h"

namespace kelmira {

namespace {

unsigned FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? unsigned(c - 'A' + 'a') : c;
}

// The character at `at`, folded, and the offset past it.
unsigned NextCharacter(const std::string& path, size_t& at, LeadByteTest isLeadByte) {
    const unsigned char first = static_cast<unsigned char>(path[at++]);
    if (!isLeadByte(first) || at == path.size())
        return FoldAscii(first);
    const unsigned char trail = static_cast<unsigned char>(path[at++]);
    return (unsigned(first) << 8) | trail;
}

} // namespace

int CompareAnsiPaths(const std::string& left, const std::string& right, LeadByteTest isLeadByte) {
    size_t l = 0, r = 0;
    while (l < left.size() && r < right.size()) {
        const unsigned leftCharacter = NextCharacter(left, l, isLeadByte);
        const unsigned rightCharacter = NextCharacter(right, r, isLeadByte);
        if (leftCharacter != rightCharacter)
            return leftCharacter < rightCharacter ? -1 : 1;
    }
    const bool leftDone = l == left.size(), rightDone = r == right.size();
    if (leftDone == rightDone)
        return 0;
    return leftDone ? -1 : 1;
}

} // namespace kelmira
