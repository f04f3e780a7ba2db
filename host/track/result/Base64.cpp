#include "host/track/result/Base64.h"

namespace track {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::optional<std::vector<std::uint8_t>> DecodeBase64(const std::string& text) {
    std::string body = text;
    if (body.size() % 4 == 0) {
        // Padding is only allowed as the last one or two characters of the last group.
        size_t padding = 0;
        while (padding < 2 && !body.empty() && body[body.size() - 1 - padding] == '=')
            ++padding;
        body.resize(body.size() - padding);
    }
    if (body.size() % 4 == 1)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(body.size() * 3 / 4);
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (char c : body) {
        const int sextet = SextetOf(c);
        if (sextet < 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(sextet);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> bitCount));
            bits &= (1u << bitCount) - 1;
        }
    }
    // Canonical text leaves no set bits behind the last byte.
    if (bits != 0)
        return std::nullopt;
    return bytes;
}

std::string EncodeBase64(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (count > 1)
            group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (count > 2)
            group |= bytes[i + 2];
        text += kAlphabet[(group >> 18) & 63];
        text += kAlphabet[(group >> 12) & 63];
        text += count > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        text += count > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

} // namespace track
