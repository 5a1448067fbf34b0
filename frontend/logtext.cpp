#include "frontend/logtext.h"

#include <string_view>

#include "frontend/groupmatch.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr uint32_t kReplacement = 0xFFFD;

bool is_control(uint32_t cp) { return cp < 0x20 || cp == 0x7F; }
bool is_high_surrogate(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// n bytes, all or nothing, with room for the zero byte kept; once one does
// not fit, nothing more is written.
void put_bytes(LogUnits* w, const char* b, size_t n) {
    if (w->full) return;
    if (w->size - w->used < n + 1) {
        w->full = true;
        return;
    }
    for (size_t k = 0; k < n; ++k) w->out[w->used++] = b[k];
    w->out[w->used] = '\0';
}

void put_escaped(LogUnits* w, uint8_t c) {
    const char b[3] = {'%', kHex[c >> 4], kHex[c & 0x0F]};
    put_bytes(w, b, 3);
}

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

void log_escape(const char* text, char* out, size_t out_size) {
    LogUnits w;
    log_units_begin(&w, out, out_size, false);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) put_byte(&w, *p);
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

bool log_completed_name(std::span<const uint16_t> user, const ContextList& contexts, size_t k, bool utf8, char* out,
                        size_t out_size) {
    static uint16_t whole[REQUEST_SIZE + CONTEXT_TEXT_SIZE];
    size_t length = 0;
    if (candidate_name(user, contexts, k, whole, &length) != CANDIDATE_OK || length <= user.size()) return false;
    log_escape_units(std::span<const uint16_t>(whole, length), utf8, out, out_size);
    return true;
}

void stored_name_for_log(std::span<const uint8_t> name, bool utf8, char* out, size_t out_size) {
    LogUnits w;
    log_units_begin(&w, out, out_size, utf8);
    log_units_put(&w, '.');
    TypelessName typeless = typeless_begin(name);
    uint16_t unit = 0;
    while (typeless_next(&typeless, &unit)) log_units_put(&w, unit);
    log_units_end(&w);
}
