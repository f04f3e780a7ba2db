// Registry value types and data, decoded for people.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace track {

// "REG_SZ", "REG_DWORD", ...; "type N" for a code outside the standard set.
std::string RegistryTypeName(std::uint32_t type);

// The strings of REG_MULTI_SZ data: split at NULs, the closing empty string(s) dropped.
std::vector<std::string> SplitMultiString(const std::vector<std::uint8_t>& bytes);

// The text of REG_SZ / REG_EXPAND_SZ data, up to its first NUL.
std::string StringData(const std::vector<std::uint8_t>& bytes);

// 4 or 8 little-endian bytes (big-endian for REG_DWORD_BIG_ENDIAN) as a number; false when the
// data has another length or the type is not a number type.
bool NumberData(std::uint32_t type, const std::vector<std::uint8_t>& bytes, std::uint64_t& value);

// Lower-case hex bytes separated by single spaces.
std::string HexBytes(const std::vector<std::uint8_t>& bytes, size_t limit = SIZE_MAX);

// One line for a person: strings as quoted text (control characters escaped), numbers in decimal
// and hex, lists of strings, anything else as hex bytes (cut after 32 bytes). Text that is not
// valid Base64 is shown as such.
std::string DescribeRegistryData(std::uint32_t type, const std::string& base64);

} // namespace track
