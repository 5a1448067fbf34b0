// Byte strings for building and reading test messages: little-endian fields,
// concatenation and counting patterns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}
inline void put_bytes(Bytes& b, std::span<const uint8_t> s) { b.insert(b.end(), s.begin(), s.end()); }
inline uint16_t get16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
inline uint32_t get32(std::span<const uint8_t> b, size_t at) {
    return get16(b, at) | static_cast<uint32_t>(get16(b, at + 2)) << 16;
}
inline Bytes le32(uint32_t v) {
    Bytes b;
    put32(b, v);
    return b;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) put_bytes(out, p);
    return out;
}
// n bytes counting up from start in steps of 7 (wrapping).
inline Bytes seq_bytes(size_t n, uint8_t start) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i * 7);
    return b;
}
