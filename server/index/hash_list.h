#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace melodex::server {

// Appends `v` as a varint to a vector of bytes or a string.
template <class Bytes>
void putVarint(Bytes& out, uint32_t v) {
    using Byte = typename Bytes::value_type;
    while (v >= 0x80) {
        out.push_back(static_cast<Byte>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<Byte>(v));
}

// Reads a varint at `p` that ends before `end`; false when it does not (damaged data).
inline bool getVarint(const uint8_t*& p, const uint8_t* end, uint32_t& v) {
    v = 0;
    for (int shift = 0; p < end && shift < 35; shift += 7) {
        const uint8_t byte = *p++;
        v |= static_cast<uint32_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

// A track's distinct hashes, sorted and delta-coded as varints: what removal needs, ~1 byte a hash.
inline std::vector<uint8_t> encodeHashList(std::vector<uint32_t> hashes) {
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
    std::vector<uint8_t> out;
    uint32_t previous = 0;
    for (uint32_t h : hashes) {
        putVarint(out, h - previous);
        previous = h;
    }
    return out;
}

inline std::vector<uint32_t> decodeHashList(const uint8_t* p, size_t n) {
    std::vector<uint32_t> out;
    const uint8_t* const end = p + n;
    uint32_t value = 0, delta = 0;
    while (getVarint(p, end, delta)) out.push_back(value += delta);
    return out;
}

}  // namespace melodex::server
