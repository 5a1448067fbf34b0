// The block cipher: RC2 with an 8-byte key and 64 effective key bits, and
// CBC mode with an all-zero initial vector over whole 8-byte blocks.
#include <array>
#include <cstring>

#include "nwcrypto/nwcrypto.h"
#include "nwcrypto/rc2_internal.h"
#include "runtime/bytes.h"
#include "runtime/wipe.h"

namespace {

// RC2's permutation table PITABLE.
constexpr std::array<uint8_t, 256> nwcryptdata = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad,
};

constexpr int kBlock = 8;

struct Words {
    uint16_t r[4];
};

Words load_block(const uint8_t* p) {
    return Words{{rt::load_le16(p), rt::load_le16(p + 2), rt::load_le16(p + 4),
                  rt::load_le16(p + 6)}};
}

void store_block(uint8_t* p, const Words& w) {
    for (int i = 0; i < 4; ++i) rt::store_le16(p + 2 * i, w.r[i]);
}

constexpr int kRotation[4] = {1, 2, 3, 5};

void mix(Words& w, const NwCryptKey* s, int& j) {
    for (int i = 0; i < 4; ++i) {
        const uint16_t sum = static_cast<uint16_t>(
            w.r[i] + s->k[j] + (w.r[(i + 3) & 3] & w.r[(i + 2) & 3]) +
            (static_cast<uint16_t>(~w.r[(i + 3) & 3]) & w.r[(i + 1) & 3]));
        w.r[i] = rol16(sum, kRotation[i]);
        ++j;
    }
}

void mash(Words& w, const NwCryptKey* s) {
    for (int i = 0; i < 4; ++i)
        w.r[i] = static_cast<uint16_t>(w.r[i] + s->k[w.r[(i + 3) & 3] & 63]);
}

void reverse_mix(Words& w, const NwCryptKey* s, int& j) {
    for (int i = 3; i >= 0; --i) {
        const uint16_t rotated = ror16(w.r[i], kRotation[i]);
        w.r[i] = static_cast<uint16_t>(
            rotated - s->k[j] - (w.r[(i + 3) & 3] & w.r[(i + 2) & 3]) -
            (static_cast<uint16_t>(~w.r[(i + 3) & 3]) & w.r[(i + 1) & 3]));
        --j;
    }
}

void reverse_mash(Words& w, const NwCryptKey* s) {
    for (int i = 3; i >= 0; --i)
        w.r[i] = static_cast<uint16_t>(w.r[i] - s->k[w.r[(i + 3) & 3] & 63]);
}

void xor_block(uint8_t* dst, const uint8_t* src) {
    for (int i = 0; i < kBlock; ++i) dst[i] ^= src[i];
}

}  // namespace

uint16_t rol16(uint16_t value, int count) {
    count &= 15;
    if (count == 0) return value;
    return static_cast<uint16_t>((value << count) | (value >> (16 - count)));
}

uint16_t ror16(uint16_t value, int count) {
    count &= 15;
    if (count == 0) return value;
    return static_cast<uint16_t>((value >> count) | (value << (16 - count)));
}

void nwcryptinit(NwCryptKey* schedule, std::span<const uint8_t, 8> key) {
    uint8_t l[128];
    std::memcpy(l, key.data(), key.size());
    for (int i = 8; i < 128; ++i)
        l[i] = nwcryptdata[static_cast<uint8_t>(l[i - 1] + l[i - 8])];
    // Effective key bits 64: T8 = 8 and the mask is 0xff.
    l[120] = nwcryptdata[l[120]];
    for (int i = 119; i >= 0; --i) l[i] = nwcryptdata[l[i + 1] ^ l[i + 8]];
    for (int i = 0; i < 64; ++i)
        schedule->k[i] = static_cast<uint16_t>(l[2 * i] | (l[2 * i + 1] << 8));
    rt::wipe(l, sizeof l);
}

void nwencrypt(const NwCryptKey* schedule, std::span<const uint8_t, 8> in, std::span<uint8_t, 8> out) {
    Words w = load_block(in.data());
    int j = 0;
    for (int i = 0; i < 5; ++i) mix(w, schedule, j);
    mash(w, schedule);
    for (int i = 0; i < 6; ++i) mix(w, schedule, j);
    mash(w, schedule);
    for (int i = 0; i < 5; ++i) mix(w, schedule, j);
    store_block(out.data(), w);
    rt::wipe_object(w);
}

void nwdecrypt(const NwCryptKey* schedule, std::span<const uint8_t, 8> in, std::span<uint8_t, 8> out) {
    Words w = load_block(in.data());
    int j = 63;
    for (int i = 0; i < 5; ++i) reverse_mix(w, schedule, j);
    reverse_mash(w, schedule);
    for (int i = 0; i < 6; ++i) reverse_mix(w, schedule, j);
    reverse_mash(w, schedule);
    for (int i = 0; i < 5; ++i) reverse_mix(w, schedule, j);
    store_block(out.data(), w);
    rt::wipe_object(w);
}

void nwencryptblock_using(NwCryptKey* schedule, std::span<const uint8_t, 8> key, const uint8_t* in,
                          int len, uint8_t* out) {
    nwcryptinit(schedule, key);
    uint8_t chain[kBlock] = {};
    for (int off = 0; len - off >= kBlock; off += kBlock) {
        xor_block(chain, in + off);
        nwencrypt(schedule, chain, chain);
        std::memcpy(out + off, chain, kBlock);
    }
    rt::wipe(chain, sizeof chain);
    rt::wipe_object(*schedule);
}

void nwdecryptblock_using(NwCryptKey* schedule, std::span<const uint8_t, 8> key, const uint8_t* in,
                          int len, uint8_t* out) {
    nwcryptinit(schedule, key);
    uint8_t previous[kBlock] = {};
    uint8_t current[kBlock];
    uint8_t plain[kBlock];
    for (int off = 0; len - off >= kBlock; off += kBlock) {
        // Keep the ciphertext aside first: out may be the same memory as in.
        std::memcpy(current, in + off, kBlock);
        nwdecrypt(schedule, current, plain);
        xor_block(plain, previous);
        std::memcpy(out + off, plain, kBlock);
        std::memcpy(previous, current, kBlock);
    }
    rt::wipe(previous, sizeof previous);
    rt::wipe(current, sizeof current);
    rt::wipe(plain, sizeof plain);
    rt::wipe_object(*schedule);
}

void nwencryptblock(std::span<const uint8_t, 8> key, const uint8_t* in, int len, uint8_t* out) {
    NwCryptKey schedule;
    nwencryptblock_using(&schedule, key, in, len, out);
}

void nwdecryptblock(std::span<const uint8_t, 8> key, const uint8_t* in, int len, uint8_t* out) {
    NwCryptKey schedule;
    nwdecryptblock_using(&schedule, key, in, len, out);
}
