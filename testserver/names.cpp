#include "testserver/names.h"

namespace ts {

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

static bool all_letters(std::string_view s) {
    for (char c : s) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter) return false;
    }
    return true;
}

bool parse_dn(std::string_view text, std::vector<DnPart>& out) {
    out.clear();
    if (!text.empty() && text.front() == '.') text.remove_prefix(1);
    if (text.empty()) return false;
    while (true) {
        const size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty()) return false;
        DnPart p;
        const size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            p.value = std::string(part);
        } else {
            p.type = std::string(part.substr(0, eq));
            p.value = std::string(part.substr(eq + 1));
            if (p.type.empty() || p.value.empty() || !all_letters(p.type)) return false;
        }
        out.push_back(std::move(p));
        if (dot == std::string_view::npos) return true;
        text.remove_prefix(dot + 1);
    }
}

bool dn_matches(const std::vector<DnPart>& entry, const std::vector<DnPart>& query) {
    if (entry.size() != query.size()) return false;
    for (size_t i = 0; i < entry.size(); ++i) {
        if (!latin1_iequal(entry[i].value, query[i].value)) return false;
        if (!query[i].type.empty() && !latin1_iequal(entry[i].type, query[i].type)) return false;
    }
    return true;
}

std::string dn_format(const std::vector<DnPart>& parts) {
    std::string s;
    for (const DnPart& p : parts) {
        if (!s.empty()) s += '.';
        if (!p.type.empty()) s += p.type + "=";
        s += p.value;
    }
    return s;
}

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

}  // namespace ts
