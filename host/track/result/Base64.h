// Base64 (RFC 4648 alphabet) as the library records registry data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace track {

// Decodes standard Base64. The closing padding may be present or left out; anything else outside
// the alphabet (whitespace included), a lone trailing character or bits left over make it fail.
std::optional<std::vector<std::uint8_t>> DecodeBase64(const std::string& text);

std::string EncodeBase64(const std::vector<std::uint8_t>& bytes);

} // namespace track
