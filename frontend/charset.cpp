#include "frontend/charset.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// The well-formed UTF-8 sequence at text[i]: its length and code point, or
// 0 when the bytes there are not one. The ranges of the second byte rule
// out overlong forms (E0, F0), surrogates (ED) and code points above
// U+10FFFF (F4); C0, C1 and F5..FF never start a sequence.
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

bool is_high_surrogate(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// n bytes, all or nothing, with room for the zero byte kept.
void put_bytes(LogUnits* w, const char* b, size_t n) {
    if (w->full) return;
    if (w->size - w->used < n + 1) {
        w->full = true;  // nothing more is written
        return;
    }
    for (size_t k = 0; k < n; ++k) w->out[w->used++] = b[k];
    w->out[w->used] = '\0';
}

void put_escaped(LogUnits* w, uint8_t c) {
    static const char hex[] = "0123456789ABCDEF";
    const char b[3] = {'%', hex[c >> 4], hex[c & 0x0F]};
    put_bytes(w, b, 3);
}

bool is_control(uint32_t cp) { return cp < 0x20 || cp == 0x7F; }

// One code point in UTF-8, or as %XX when it is a control character.
void put_code_point(LogUnits* w, uint32_t cp) {
    if (is_control(cp)) {
        put_escaped(w, static_cast<uint8_t>(cp));
        return;
    }
    char b[4];
    size_t n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    put_bytes(w, b, n);
}

// One byte as it stands, or as %XX when it is a control character.
void put_byte(LogUnits* w, uint8_t c) {
    if (is_control(c)) {
        put_escaped(w, c);
        return;
    }
    const char b = static_cast<char>(c);
    put_bytes(w, &b, 1);
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

void log_units_begin(LogUnits* w, char* out, size_t size, bool utf8) {
    w->out = out;
    w->size = size;
    w->used = 0;
    w->high = 0;
    w->utf8 = utf8;
    w->full = size == 0;
    if (size != 0) out[0] = '\0';
}

void log_units_put(LogUnits* w, uint16_t unit) {
    if (!w->utf8) {
        put_byte(w, static_cast<uint8_t>(unit & 0xFF));
        return;
    }
    if (w->high != 0) {
        const uint16_t high = w->high;
        w->high = 0;
        if (is_low_surrogate(unit)) {
            put_code_point(w, 0x10000 + ((static_cast<uint32_t>(high - 0xD800) << 10) | (unit - 0xDC00u)));
            return;
        }
        put_code_point(w, kReplacement);
    }
    if (is_high_surrogate(unit)) {
        w->high = unit;
    } else if (is_low_surrogate(unit)) {
        put_code_point(w, kReplacement);
    } else {
        put_code_point(w, unit);
    }
}

void log_units_end(LogUnits* w) {
    if (w->high != 0) {
        w->high = 0;
        put_code_point(w, kReplacement);
    }
}

void log_escape_units(std::span<const uint16_t> units, bool utf8, char* out, size_t out_size) {
    LogUnits w;
    log_units_begin(&w, out, out_size, utf8);
    for (uint16_t u : units) log_units_put(&w, u);
    log_units_end(&w);
}

void log_request_name(Charset cs, const char* text, char* out, size_t out_size) {
    LogUnits w;
    log_units_begin(&w, out, out_size, cs != CHARSET_ISO8859_1);
    const std::string_view name(text);
    bool multibyte = false;
    const bool valid = utf8_valid(name, &multibyte);
    if (cs != CHARSET_ISO8859_1 && valid && (cs == CHARSET_UTF8 || multibyte)) {
        for (size_t i = 0; i < name.size();) {
            uint32_t cp = 0;
            i += utf8_sequence(name, i, &cp);
            put_code_point(&w, cp);
        }
        return;
    }
    for (const char c : name) {
        const auto b = static_cast<uint8_t>(c);
        if (cs == CHARSET_ISO8859_1) put_byte(&w, b);
        else if (cs == CHARSET_AUTO || b < 0x80) put_code_point(&w, b);
        else put_escaped(&w, b);
    }
}
