#include "frontend/charset.h"

// The ranges of the second byte rule out overlong forms (E0, F0),
// surrogates (ED) and code points above U+10FFFF (F4); C0, C1 and F5..FF
// never start a sequence.
size_t utf8_sequence(std::string_view text, size_t i, uint32_t* cp) {
    const uint8_t b0 = static_cast<uint8_t>(text[i]);
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t n;
    uint32_t v;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        v = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        v = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        v = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < n) return 0;
    for (size_t k = 1; k < n; ++k) {
        const uint8_t b = static_cast<uint8_t>(text[i + k]);
        if (b < lo || b > hi) return 0;
        lo = 0x80;
        hi = 0xBF;
        v = (v << 6) | (b & 0x3Fu);
    }
    *cp = v;
    return n;
}

namespace {

NameStatus latin1_to_units(std::string_view text, std::span<uint16_t> out, size_t* count) {
    if (text.size() > out.size()) return NAME_TOO_LONG;
    for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<uint8_t>(text[i]);
    *count = text.size();
    return NAME_OK;
}

NameStatus utf8_to_units(std::string_view text, std::span<uint16_t> out, size_t* count) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t len = utf8_sequence(text, i, &cp);
        if (len == 0) return NAME_INVALID;
        i += len;
        if (cp <= 0xFFFF) {
            if (out.size() - n < 1) return NAME_TOO_LONG;
            out[n++] = static_cast<uint16_t>(cp);
        } else {
            if (out.size() - n < 2) return NAME_TOO_LONG;
            cp -= 0x10000;
            out[n++] = static_cast<uint16_t>(0xD800 | (cp >> 10));
            out[n++] = static_cast<uint16_t>(0xDC00 | (cp & 0x3FF));
        }
    }
    *count = n;
    return NAME_OK;
}

}  // namespace

bool utf8_valid(std::string_view text, bool* multibyte) {
    bool multi = false;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t len = utf8_sequence(text, i, &cp);
        if (len == 0) return false;
        if (len > 1) multi = true;
        i += len;
    }
    if (multibyte != nullptr) *multibyte = multi;
    return true;
}

[[gnu::hot]] NameStatus name_to_units(Charset cs, std::string_view text, std::span<uint16_t> out, size_t* count) {
    *count = 0;
    if (cs == CHARSET_UTF8) return utf8_to_units(text, out, count);
    if (cs == CHARSET_AUTO) {
        bool multibyte = false;
        if (utf8_valid(text, &multibyte) && multibyte) return utf8_to_units(text, out, count);
    }
    return latin1_to_units(text, out, count);
}
