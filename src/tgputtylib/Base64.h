#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tgputty {

// Base64 of `len` bytes; with `pad` the last group is filled with '=' (as in HTTP headers),
// without it not (as in OpenSSH's fingerprints).
inline std::string base64(const unsigned char* data, size_t len, bool pad) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (i + 1 < len)
            v |= uint32_t(data[i + 1]) << 8;
        if (i + 2 < len)
            v |= data[i + 2];
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        if (i + 1 < len || pad)
            out += i + 1 < len ? table[(v >> 6) & 63] : '=';
        if (i + 2 < len || pad)
            out += i + 2 < len ? table[v & 63] : '=';
    }
    return out;
}

inline std::string base64(const std::string& in, bool pad) {
    return base64(reinterpret_cast<const unsigned char*>(in.data()), in.size(), pad);
}

} // namespace tgputty
