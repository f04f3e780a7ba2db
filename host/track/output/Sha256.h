// SHA-256, for the hashes by which a page's Content-Security-Policy allows its own inline script
// and style and nothing else.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace track {

std::array<std::uint8_t, 32> Sha256(const std::string& bytes);

// "'sha256-<Base64 of the digest>'", as a Content-Security-Policy source names an inline block.
std::string CspHashSource(const std::string& block);

} // namespace track
