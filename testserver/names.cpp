#include "testserver/names.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

namespace ts {
namespace {

// The C library's Unicode locale, independent of the environment; null when
// the library has none (then only ISO 8859-1 letters fold).
locale_t unicode_locale() {
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

bool all_letters(std::u16string_view s) {
    for (char16_t c : s) {
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        if (!letter) return false;
    }
    return true;
}

void put_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

char16_t name_fold(char16_t unit) {
    const locale_t loc = unicode_locale();
    if (loc == static_cast<locale_t>(nullptr)) {
        return unit <= 0xFF ? static_cast<char16_t>(static_cast<unsigned char>(latin1_upper(static_cast<char>(unit))))
                            : unit;
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    return static_cast<char16_t>(towlower_l(towupper_l(static_cast<wint_t>(unit), loc), loc));
}

bool names_iequal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (name_fold(a[i]) != name_fold(b[i])) return false;
    }
    return true;
}

char latin1_upper(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') return static_cast<char>(u - 0x20);
    // à..þ map to À..Þ, except ÷ (0xF7); ß and ÿ have no single upper case.
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 0x20);
    return c;
}

bool latin1_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (latin1_upper(a[i]) != latin1_upper(b[i])) return false;
    }
    return true;
}

bool parse_dn(std::u16string_view text, std::vector<DnPart>& out) {
    out.clear();
    if (!text.empty() && text.front() == u'.') text.remove_prefix(1);
    if (text.empty()) return false;
    while (true) {
        const size_t dot = text.find(u'.');
        const std::u16string_view part = text.substr(0, dot);
        if (part.empty()) return false;
        DnPart p;
        const size_t eq = part.find(u'=');
        if (eq == std::u16string_view::npos) {
            p.value = std::u16string(part);
        } else {
            p.type = std::u16string(part.substr(0, eq));
            p.value = std::u16string(part.substr(eq + 1));
            if (p.type.empty() || p.value.empty() || !all_letters(p.type)) return false;
        }
        out.push_back(std::move(p));
        if (dot == std::u16string_view::npos) return true;
        text.remove_prefix(dot + 1);
    }
}

bool dn_matches(const std::vector<DnPart>& entry, const std::vector<DnPart>& query) {
    if (entry.size() != query.size()) return false;
    for (size_t i = 0; i < entry.size(); ++i) {
        if (!names_iequal(entry[i].value, query[i].value)) return false;
        if (!query[i].type.empty() && !names_iequal(entry[i].type, query[i].type)) return false;
    }
    return true;
}

std::u16string dn_format(const std::vector<DnPart>& parts) {
    std::u16string s;
    for (const DnPart& p : parts) {
        if (!s.empty()) s += u'.';
        if (!p.type.empty()) s += p.type + u"=";
        s += p.value;
    }
    return s;
}

std::string dn_text(const std::vector<DnPart>& parts) { return units_to_utf8(dn_format(parts)); }

bool units_to_latin1(std::u16string_view units, std::string& out) {
    out.clear();
    for (char16_t u : units) {
        if (u > 0xFF) return false;
        out += static_cast<char>(u);
    }
    return true;
}

std::u16string latin1_to_units(std::string_view text) {
    std::u16string u;
    for (char c : text) u += static_cast<char16_t>(static_cast<unsigned char>(c));
    return u;
}

bool utf8_to_units(std::string_view text, std::u16string& out) {
    out.clear();
    if (text.empty()) return true;
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in(text);
    std::string wide(2 * text.size() + 4, '\0');  // never more units than bytes
    char* ip = in.data();
    size_t il = in.size();
    char* op = wide.data();
    size_t ol = wide.size();
    const size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || il != 0) return false;
    const size_t bytes = wide.size() - ol;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        out += static_cast<char16_t>(static_cast<unsigned char>(wide[i]) |
                                     (static_cast<unsigned char>(wide[i + 1]) << 8));
    }
    return true;
}

std::string units_to_utf8(std::u16string_view units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            put_utf8(out, 0x10000 + ((static_cast<char32_t>(u - 0xD800) << 10) | (units[i + 1] - 0xDC00u)));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            put_utf8(out, 0xFFFD);
        } else {
            put_utf8(out, u);
        }
    }
    return out;
}

}  // namespace ts
