// A small bounds-checked cursor over a byte span, for parsing and composing
// wire data that is not an NDS request buffer (NCP heads, key records,
// envelopes). Every read or write past the end fails cleanly: the cursor
// records the failure, stops moving, and reads yield zero. Callers check
// ok() once after a run of reads instead of after each one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "runtime/bytes.h"

namespace rt {

class Reader {
public:
    explicit Reader(std::span<const uint8_t> s) : s_(s) {}

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t left() const { return ok_ ? s_.size() - pos_ : 0; }

    bool skip(size_t n) { return take(n) != nullptr; }
    uint8_t u8() { const uint8_t* p = take(1); return p ? p[0] : 0; }
    uint16_t le16() { const uint8_t* p = take(2); return p ? load_le16(p) : 0; }
    uint32_t le32() { const uint8_t* p = take(4); return p ? load_le32(p) : 0; }
    uint16_t be16() { const uint8_t* p = take(2); return p ? load_be16(p) : 0; }
    uint32_t be32() { const uint8_t* p = take(4); return p ? load_be32(p) : 0; }
    // The next n bytes in place, or an empty span (and a failed cursor).
    std::span<const uint8_t> bytes(size_t n) {
        const uint8_t* p = take(n);
        return p ? std::span<const uint8_t>(p, n) : std::span<const uint8_t>();
    }
    bool copy(void* dst, size_t n) {
        const uint8_t* p = take(n);
        if (p == nullptr) return false;
        if (n != 0) std::memcpy(dst, p, n);
        return true;
    }

private:
    const uint8_t* take(size_t n) {
        if (!ok_ || n > s_.size() - pos_) { ok_ = false; return nullptr; }
        const uint8_t* p = s_.data() + pos_;
        pos_ += n;
        return p;
    }
    std::span<const uint8_t> s_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class Writer {
public:
    explicit Writer(std::span<uint8_t> s) : s_(s) {}

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    std::span<uint8_t> written() const { return s_.first(pos_); }

    bool u8(uint8_t v) { uint8_t* p = take(1); if (p) p[0] = v; return p != nullptr; }
    bool le16(uint16_t v) { uint8_t* p = take(2); if (p) store_le16(p, v); return p != nullptr; }
    bool le32(uint32_t v) { uint8_t* p = take(4); if (p) store_le32(p, v); return p != nullptr; }
    bool be16(uint16_t v) { uint8_t* p = take(2); if (p) store_be16(p, v); return p != nullptr; }
    bool be32(uint32_t v) { uint8_t* p = take(4); if (p) store_be32(p, v); return p != nullptr; }
    bool bytes(const void* src, size_t n) {
        uint8_t* p = take(n);
        if (p != nullptr && n != 0) std::memcpy(p, src, n);
        return p != nullptr;
    }
    bool zeros(size_t n) {
        uint8_t* p = take(n);
        if (p != nullptr && n != 0) std::memset(p, 0, n);
        return p != nullptr;
    }
    // Reserve n bytes to be filled in place; null (and a failed cursor) when they do not fit.
    uint8_t* reserve(size_t n) { return take(n); }

private:
    uint8_t* take(size_t n) {
        if (!ok_ || n > s_.size() - pos_) { ok_ = false; return nullptr; }
        uint8_t* p = s_.data() + pos_;
        pos_ += n;
        return p;
    }
    std::span<uint8_t> s_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace rt
