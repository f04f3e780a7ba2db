#include "stand-ins/tavish/ITavishInc.h"

#include <climits>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Longer inputs would need more than INT_MAX characters, which the answer cannot carry.
constexpr int kLongestInput = (INT_MAX / 4) * 3;

} // namespace

int ITavishInc::Base64Encode(const char* data, int length, char* out) {
    if (data == nullptr || out == nullptr || length <= 0 || length > kLongestInput)
        return 0;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    int written = 0;
    int i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned group = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        out[written++] = kAlphabet[(group >> 18) & 63];
        out[written++] = kAlphabet[(group >> 12) & 63];
        out[written++] = kAlphabet[(group >> 6) & 63];
        out[written++] = kAlphabet[group & 63];
    }
    const int rest = length - i;
    if (rest > 0) {
        const unsigned group = (unsigned(in[i]) << 16) | (rest == 2 ? unsigned(in[i + 1]) << 8 : 0u);
        out[written++] = kAlphabet[(group >> 18) & 63];
        out[written++] = kAlphabet[(group >> 12) & 63];
        out[written++] = rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        out[written++] = '=';
    }
    return written;
}
