#include "testserver/ndsio.h"

#include "runtime/bytes.h"

namespace ts {

bool NdsIn::counted(std::span<const uint8_t>& out, std::string& why) {
    const uint32_t len = r_.le32();
    if (!r_.ok()) { why = "length word missing"; return false; }
    if (len > r_.left()) { why = "length " + std::to_string(len) + " runs past the request"; return false; }
    out = r_.bytes(len);
    // Clients move past the padding without writing it, so its bytes are
    // not looked at; only its presence is required.
    if (!r_.skip(rt::pad4(len) - len)) { why = "padding missing after a byte string"; return false; }
    return true;
}

bool NdsIn::nwuni(std::u16string& out, std::string& why) {
    std::span<const uint8_t> raw;
    if (!counted(raw, why)) return false;
    if (raw.size() < 2 || raw.size() % 2 != 0) {
        why = "string length " + std::to_string(raw.size()) + " is not an even number of at least 2";
        return false;
    }
    out.clear();
    for (size_t i = 0; i + 2 <= raw.size(); i += 2) out += static_cast<char16_t>(rt::load_le16(raw.data() + i));
    if (out.back() != 0) { why = "string does not end with a zero unit"; return false; }
    out.pop_back();
    if (out.find(char16_t{0}) != std::u16string::npos) { why = "zero unit inside a string"; return false; }
    return true;
}

void NdsOut::u32(uint32_t v) {
    uint8_t b[4];
    rt::store_le32(b, v);
    buf_.insert(buf_.end(), b, b + 4);
}

void NdsOut::bytes(std::span<const uint8_t> b) { buf_.insert(buf_.end(), b.begin(), b.end()); }

void NdsOut::counted(std::span<const uint8_t> b) {
    u32(static_cast<uint32_t>(b.size()));
    bytes(b);
    buf_.resize(buf_.size() + (rt::pad4(b.size()) - b.size()), 0);
}

std::vector<uint8_t> nwuni_bytes(std::u16string_view units) {
    std::vector<uint8_t> out((units.size() + 1) * 2, 0);
    for (size_t i = 0; i < units.size(); ++i) rt::store_le16(out.data() + 2 * i, units[i]);
    return out;
}

void NdsOut::nwuni(std::u16string_view units) { counted(nwuni_bytes(units)); }

}  // namespace ts
