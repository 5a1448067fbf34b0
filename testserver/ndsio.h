// Reading NDS request fields and writing NDS reply fields: 32-bit
// little-endian words and byte strings with a 32-bit length, each field
// starting on a multiple of 4 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "runtime/cursor.h"

namespace ts {

class NdsIn {
public:
    explicit NdsIn(std::span<const uint8_t> s) : r_(s) {}

    bool ok() const { return r_.ok(); }
    size_t left() const { return r_.left(); }
    uint32_t u32() { return r_.le32(); }

    // A byte string with its length word and padding to a multiple of 4 (any
    // bytes). False (with why) when it runs past the end.
    bool counted(std::span<const uint8_t>& out, std::string& why);

    // An NWUNI string: even length of at least 2, one zero unit at the end
    // and none before it.
    bool nwuni(std::u16string& out, std::string& why);

private:
    rt::Reader r_;
};

class NdsOut {
public:
    void u32(uint32_t v);
    void bytes(std::span<const uint8_t> b);               // no length, no padding
    void counted(std::span<const uint8_t> b);             // length word, bytes, zero padding
    void nwuni(std::u16string_view units);                // units plus the zero unit, counted
    const std::vector<uint8_t>& data() const { return buf_; }
    std::vector<uint8_t>& data() { return buf_; }

private:
    std::vector<uint8_t> buf_;
};

// The NWUNI value bytes of units: each unit little-endian, a zero unit at the end.
std::vector<uint8_t> nwuni_bytes(std::u16string_view units);

}  // namespace ts
