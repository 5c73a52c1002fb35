#include "rtl/clBase64.h"

namespace cl {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

std::string Base64Encode(const uint8_t* AData, size_t ACount) {
    std::string out;
    out.reserve((ACount + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= ACount; i += 3) {
        const uint32_t v = (uint32_t{AData[i]} << 16) | (uint32_t{AData[i + 1]} << 8) | AData[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < ACount) {
        uint32_t v = uint32_t{AData[i]} << 16;
        if (i + 1 < ACount) v |= uint32_t{AData[i + 1]} << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += (i + 1 < ACount) ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<uint8_t> Base64Decode(std::string_view AText) {
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : AText) {
        if (c == '=') break;
        const int v = ValueOf(c);
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}

}  // namespace cl
