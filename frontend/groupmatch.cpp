#include "frontend/groupmatch.h"

#include "frontend/casefold.h"
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
[[gnu::hot]] size_t start_position(const StoredName& n) {
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

// Fold is a distinct type per rule, so that each comparison is compiled
// with its own rule in line.
template <class Fold>
int compare(const StoredName& n, std::span<const uint16_t> group, Fold fold) {
    size_t p = start_position(n);
    size_t g = !group.empty() && group[0] == '.' ? 1 : 0;
    while (p < n.count) {
        const uint16_t want = fold(g < group.size() ? group[g] : uint16_t{0});
        const uint16_t have = fold(unit_at(n, p));
        if (want != have) return 1;
        if (want == 0) return 0;
        if (want == '.') p = skip_type(n, p);
        ++g;
        ++p;
    }
    return 1;
}

// A name component by component, each without its type label, folded:
// put(unit) for every unit of the values, and '.' between them.
template <class At, class Put>
void walk_member_form(At at, size_t n, Put put) {
    size_t p = n > 0 && at(0) == '.' ? 1 : 0;
    for (bool first = true; p < n; first = false) {
        size_t end = p;
        while (end < n && at(end) != '.') ++end;
        size_t value = p;
        while (value < end && at(value) != '=') ++value;
        value = value < end ? value + 1 : p;
        if (!first) put(uint16_t{'.'});
        for (; value < end; ++value) put(fold_unit(at(value)));
        p = end + 1;
    }
}

}  // namespace

[[gnu::hot]] int compare_group_units(std::span<const uint8_t> name, std::span<const uint16_t> group, LetterCase letters) {
    const StoredName n = stored(name);
    switch (letters) {
        case CASE_FOLD_LATIN1:
            return compare(n, group, [](uint16_t unit) {
                const uint16_t folded = fold_unit(unit);
                return unit > 0xFF || folded > 0xFF ? unit : folded;
            });
        case CASE_FOLD: return compare(n, group, [](uint16_t unit) { return fold_unit(unit); });
        case CASE_EXACT: break;
    }
    return compare(n, group, [](uint16_t unit) { return unit; });
}

TypelessName typeless_begin(std::span<const uint8_t> name) { return TypelessName{name, start_position(stored(name))}; }

bool typeless_next(TypelessName* name, uint16_t* unit) {
    const StoredName n = stored(name->bytes);
    size_t p = name->position;
    if (p >= n.count || unit_at(n, p) == 0) return false;
    *unit = unit_at(n, p);
    if (*unit == '.') p = skip_type(n, p);
    name->position = p + 1;
    return true;
}

size_t member_key(std::span<const uint16_t> name, std::span<uint16_t> out) {
    size_t n = 0;
    bool fits = true;
    walk_member_form([&](size_t k) { return name[k]; }, name.size(), [&](uint16_t u) {
        if (n < out.size()) out[n] = u;
        else fits = false;
        ++n;
    });
    return fits ? n : 0;
}

[[gnu::hot]] int compare_member_units(std::span<const uint8_t> name, std::span<const uint16_t> key) {
    const StoredName n = stored(name);
    size_t length = 0;
    while (length < n.count && unit_at(n, length) != 0) ++length;
    size_t k = 0;
    bool same = true;
    walk_member_form([&](size_t i) { return unit_at(n, i); }, length, [&](uint16_t u) {
        same = same && k < key.size() && key[k] == u;
        ++k;
    });
    return same && k == key.size() ? 0 : 1;
}
