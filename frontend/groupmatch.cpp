#include "frontend/groupmatch.h"

#include "frontend/casefold.h"
#include "frontend/charset.h"
#include "runtime/bytes.h"

namespace {

// A stored name: little-endian 16-bit code units as the read left them.
struct StoredName {
    std::span<const uint8_t> bytes;
    size_t count;  // whole code units in bytes
};

StoredName stored(std::span<const uint8_t> bytes) { return StoredName{bytes, bytes.size() / 2}; }

uint16_t unit_at(const StoredName& n, size_t k) {
    return k < n.count ? rt::load_le16(n.bytes.subspan(2 * k, 2).data()) : 0;
}

// Past a leading '.' and a leading "CN=" (either case of the letters).
size_t start_position(const StoredName& n) {
    size_t p = 0;
    if (n.count > 0 && unit_at(n, 0) == '.') p = 1;
    uint16_t c = unit_at(n, p), m = unit_at(n, p + 1), eq = unit_at(n, p + 2);
    if (p + 2 < n.count && (c == 'C' || c == 'c') && (m == 'N' || m == 'n') && eq == '=') p += 3;
    return p;
}

// From a '.' to the next '=' of the name, or to its end.
size_t skip_type(const StoredName& n, size_t p) {
    while (p < n.count && unit_at(n, p) != '=') ++p;
    return p;
}

// Bytes for the log as the low bytes of units, escaped like log_escape.
struct LowBytes {
    char* out;
    size_t size;
    size_t used;
    bool full;
};

void put_low_byte(LowBytes* w, uint16_t unit) {
    static const char hex[] = "0123456789ABCDEF";
    const unsigned char c = static_cast<unsigned char>(unit & 0xFF);
    const bool control = c < 0x20 || c == 0x7F;
    const size_t n = control ? 3 : 1;
    if (w->full || w->size - w->used < n + 1) {
        w->full = true;  // nothing more is written
        return;
    }
    if (control) {
        w->out[w->used++] = '%';
        w->out[w->used++] = hex[c >> 4];
        w->out[w->used++] = hex[c & 0x0F];
    } else {
        w->out[w->used++] = static_cast<char>(c);
    }
}

}  // namespace

int compare_group_units(std::span<const uint8_t> name, std::span<const uint16_t> group, bool ignore_case) {
    const StoredName n = stored(name);
    size_t p = start_position(n);
    size_t g = !group.empty() && group[0] == '.' ? 1 : 0;
    while (p < n.count) {
        uint16_t want = g < group.size() ? group[g] : 0;
        uint16_t have = unit_at(n, p);
        if (ignore_case) {
            want = fold_unit(want);
            have = fold_unit(have);
        }
        if (want != have) return 1;
        if (want == 0) return 0;
        if (want == '.') p = skip_type(n, p);
        ++g;
        ++p;
    }
    return 1;
}

void stored_name_for_log(std::span<const uint8_t> name, bool utf8, char* out, size_t out_size) {
    if (out_size == 0) return;
    out[0] = '\0';
    LogUnits text;
    log_units_begin(&text, out, out_size);
    LowBytes bytes{out, out_size, 0, false};
    const auto put = [&](uint16_t unit) {
        if (utf8) log_units_put(&text, unit);
        else put_low_byte(&bytes, unit);
    };
    put('.');
    const StoredName n = stored(name);
    size_t p = start_position(n);
    while (p < n.count && unit_at(n, p) != 0) {
        const uint16_t unit = unit_at(n, p);
        if (unit == '.') p = skip_type(n, p);
        put(unit);
        ++p;
    }
    if (utf8) {
        log_units_end(&text);
    } else {
        out[bytes.used] = '\0';
    }
}
