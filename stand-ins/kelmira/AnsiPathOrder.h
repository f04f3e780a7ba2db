// The order of registry paths written in the ANSI code page, free of Windows so that it can be tested
// and fuzzed with any code page's lead bytes.
#pragma once

#include <string>

namespace kelmira {

// Tells whether a byte starts a two-byte character in the code page the paths are written in.
using LeadByteTest = bool (*)(unsigned char);

// Negative, zero or positive. Paths are compared character by character: a single byte with ASCII
// letters folded to lower case, a two-byte character as one unit (lead byte times 256 plus trail
// byte) that is never folded, so that a trail byte which looks like a letter keeps two names apart.
// A lead byte at the very end stands alone.
int CompareAnsiPaths(const std::string& left, const std::string& right, LeadByteTest isLeadByte);

} // namespace kelmira
