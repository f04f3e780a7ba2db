// The form of a registry key name under which the read-back caches an opened key, free of Windows so
// that it can be tested and fuzzed with any code page's lead bytes.
#pragma once

#include <string>

namespace registry_names {

// Tells whether a byte starts a two-byte character in the code page the name is written in.
using LeadByteTest = bool (*)(unsigned char);

// `name` with single-byte ASCII letters in lower case. Both bytes of a two-byte character are kept as
// they are: a trail byte that looks like a letter is part of another character, and folding it would
// make two keys one. A lead byte at the very end stands alone. Names that fold alike here are the
// same key; the converse need not hold, which only costs a second open.
std::string FoldedKeyName(const std::string& name, LeadByteTest isLeadByte);

} // namespace registry_names
