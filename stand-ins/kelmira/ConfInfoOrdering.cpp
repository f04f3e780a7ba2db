#include "KelmiraConfInfo.h"

namespace {

unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Negative, zero or positive, comparing byte by byte with ASCII letters folded to lower case.
// Bytes outside ASCII compare as they are: the record's code page is not known here.
int CompareFoldingAscii(const std::string& left, const std::string& right) {
    const size_t common = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < common; ++i) {
        const unsigned char l = FoldAscii(static_cast<unsigned char>(left[i]));
        const unsigned char r = FoldAscii(static_cast<unsigned char>(right[i]));
        if (l != r)
            return l < r ? -1 : 1;
    }
    if (left.size() == right.size())
        return 0;
    return left.size() < right.size() ? -1 : 1;
}

} // namespace

namespace IConfInfoInc {

bool operator<(const _ConfInfo& left, const _ConfInfo& right) {
    if (left.kind != right.kind)
        return left.kind < right.kind;
    return CompareFoldingAscii(left.path, right.path) < 0;
}

} // namespace IConfInfoInc
