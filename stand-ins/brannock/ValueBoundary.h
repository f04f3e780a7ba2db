// The registry-free part of splitting a path into key and value name, so it runs and fuzzes without
// Windows.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace brannock {

// Tells whether a byte starts a two-byte character in the code page the path is written in.
using LeadByteTest = bool (*)(unsigned char);

// Answers whether the key `subKey` (below the root) can be opened and holds a value `valueName`.
using ValueLocator = std::function<bool(const std::string& subKey, const std::string& valueName)>;

// Offsets of the backslashes that separate names, in ascending order. The second byte of a
// two-byte character is never a separator, even when it is 0x5C; a lead byte at the very end
// stands alone.
std::vector<size_t> NameSeparators(const std::string& path, LeadByteTest isLeadByte);

// Splits `belowRoot` (the path after "ROOT\") into a sub-key and a value name. Value names may hold
// backslashes, so the boundary is the longest key prefix that `holdsValue` confirms, then the root
// itself (empty sub-key). When nothing is confirmed the last separator is taken: the key is most
// likely gone, and the caller gets the name the log meant.
void SplitAtValue(const std::string& belowRoot, LeadByteTest isLeadByte, const ValueLocator& holdsValue,
                  std::string& subKey, std::string& valueName);

} // namespace brannock
