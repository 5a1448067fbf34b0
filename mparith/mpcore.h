// Unit-array primitives over an explicit unit count, shared by the public
// operations (which take their count from global_precision) and the modular
// product (which works over the modulus's own length). Internal.
#pragma once

#include <cstdint>

#include "mparith/mparith.h"

namespace mpcore {

inline void zero(MpUnit* r, int n) {
    for (int i = 0; i < n; ++i) r[i] = 0;
}

inline void copy(MpUnit* dst, const MpUnit* src, int n) {
    for (int i = 0; i < n; ++i) dst[i] = src[i];
}

// r += x + carry over n units; returns the carry out of the top unit.
inline int add(MpUnit* r, const MpUnit* x, int n, int carry) {
    uint32_t c = carry ? 1 : 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t t = uint32_t{r[i]} + x[i] + c;
        r[i] = static_cast<MpUnit>(t);
        c = t >> 16;
    }
    return static_cast<int>(c);
}

// r -= x + borrow over n units; returns the borrow out of the top unit.
inline int sub(MpUnit* r, const MpUnit* x, int n, int borrow) {
    uint32_t b = borrow ? 1 : 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t t = uint32_t{r[i]} - x[i] - b;
        r[i] = static_cast<MpUnit>(t);
        b = (t >> 16) & 1;
    }
    return static_cast<int>(b);
}

// prod[0..n-1] += a[0..n-1] * m; the final carry is added into prod[n]
// modulo 2^16, with no carry beyond it.
inline void smul(MpUnit* prod, const MpUnit* a, MpUnit m, int n) {
    uint32_t c = 0;
    for (int i = 0; i < n; ++i) {
        // At most (2^16-1)^2 + 2 * (2^16-1) = 2^32 - 1.
        const uint32_t t = uint32_t{a[i]} * m + c + prod[i];
        prod[i] = static_cast<MpUnit>(t);
        c = t >> 16;
    }
    prod[n] = static_cast<MpUnit>(prod[n] + c);
}

inline int significance(const MpUnit* r, int n) {
    while (n > 0 && r[n - 1] == 0) --n;
    return n;
}

inline int unit_bits(MpUnit u) {
    int b = 0;
    while (u != 0) {
        ++b;
        u = static_cast<MpUnit>(u >> 1);
    }
    return b;
}

inline int countbits(const MpUnit* r, int n) {
    const int s = significance(r, n);
    return s == 0 ? 0 : 16 * (s - 1) + unit_bits(r[s - 1]);
}

inline int compare(const MpUnit* x, const MpUnit* y, int n) {
    for (int i = n - 1; i >= 0; --i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

}  // namespace mpcore
