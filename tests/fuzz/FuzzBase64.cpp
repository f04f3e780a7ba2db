// Random byte strings through the stand-in's Base64 encoder, decoded back by a plain reference
// decoder: the round trip gives the input, and the length is exactly 4 * ceil(n / 3).
#include "stand-ins/tavish/ITavishInc.h"
#include "tests/fuzz/FuzzRunner.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

int ValueOf(char c) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = std::strchr(alphabet, c);
    return c != '\0' && at != nullptr ? static_cast<int>(at - alphabet) : -1;
}

std::string Decode(const std::vector<char>& text) {
    std::string bytes;
    for (size_t i = 0; i + 4 <= text.size(); i += 4) {
        const int a = ValueOf(text[i]), b = ValueOf(text[i + 1]);
        const int c = text[i + 2] == '=' ? 0 : ValueOf(text[i + 2]);
        const int d = text[i + 3] == '=' ? 0 : ValueOf(text[i + 3]);
        if (a < 0 || b < 0 || c < 0 || d < 0)
            return "<bad character>";
        const unsigned group = (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
        bytes += static_cast<char>(group >> 16);
        if (text[i + 2] != '=')
            bytes += static_cast<char>(group >> 8);
        if (text[i + 3] != '=')
            bytes += static_cast<char>(group);
    }
    return bytes;
}

bool CheckOneString(std::mt19937& random) {
    const int length = static_cast<int>(random() % 300);
    std::string data(static_cast<size_t>(length), '\0');
    for (char& byte : data)
        byte = static_cast<char>(random());
    std::vector<char> out(static_cast<size_t>(5 * length));
    const int written = ITavishInc::Base64Encode(data.data(), length, out.data());
    if (written != (length + 2) / 3 * 4)
        return false;
    out.resize(static_cast<size_t>(written));
    return Decode(out) == data;
}

} // namespace

FUZZ_ENTRY("base64", CheckOneString)
