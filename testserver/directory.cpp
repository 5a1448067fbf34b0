#include "testserver/directory.h"

#include <cstdio>

namespace ts {
namespace {

enum class Charset { Utf8, Latin1 };

// A value that must be ISO 8859-1 (the tree name, a password): UTF-8 text
// to its ISO 8859-1 bytes; false for a character above U+00FF.
bool utf8_to_latin1(const std::string& text, std::string& out) {
    std::u16string units;
    return utf8_to_units(text, units) && units_to_latin1(units, out);
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// A value as written: plain (trimmed) or in double quotes with \" and \\.
bool unquote(std::string_view raw, std::string& out, std::string& why) {
    out.clear();
    if (raw.empty() || raw.front() != '"') { out = std::string(raw); return true; }
    size_t i = 1;
    for (; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') break;
        if (c == '\\') {
            if (i + 1 >= raw.size()) break;
            const char n = raw[++i];
            if (n != '"' && n != '\\') { why = "unknown escape in quoted value"; return false; }
            out += n;
            continue;
        }
        out += c;
    }
    if (i >= raw.size()) { why = "unterminated quoted value"; return false; }
    if (i + 1 != raw.size()) { why = "text after the closing quote"; return false; }
    return true;
}

bool typed_name(const std::string& text, std::vector<DnPart>& out, std::string& why) {
    std::u16string units;
    if (!utf8_to_units(text, units) || !parse_dn(units, out)) { why = "malformed name '" + text + "'"; return false; }
    for (const DnPart& p : out) {
        if (p.type.empty()) { why = "name '" + text + "' needs a type on every part (CN=..., O=...)"; return false; }
    }
    return true;
}

bool same_name(const std::vector<DnPart>& a, const std::vector<DnPart>& b) {
    return dn_matches(a, b);
}

struct Parser {
    Directory& dir;
    Charset charset = Charset::Utf8;
    bool have_tree = false;
    bool have_server = false;
    bool have_policy = false;
    bool user_has_password = false;
    std::string why;

    bool known_entry(const std::vector<DnPart>& n) const {
        if (have_server && same_name(dir.server, n)) return true;
        for (const DirUser& u : dir.users) if (same_name(u.name, n)) return true;
        for (const auto& g : dir.groups) if (same_name(g, n)) return true;
        return false;
    }
    bool is_group(const std::vector<DnPart>& n) const {
        for (const auto& g : dir.groups) if (same_name(g, n)) return true;
        return false;
    }

    bool line(std::string_view keyword, const std::string& value) {
        if (keyword == "charset") {
            if (value == "utf-8") { charset = Charset::Utf8; return true; }
            if (value == "iso-8859-1") { charset = Charset::Latin1; return true; }
            why = "charset must be utf-8 or iso-8859-1";
            return false;
        }
        if (keyword == "tree") {
            if (have_tree) { why = "second tree line"; return false; }
            if (value.empty()) { why = "empty tree name"; return false; }
            if (!utf8_to_latin1(value, dir.tree)) { why = "tree name outside ISO 8859-1"; return false; }
            have_tree = true;
            return true;
        }
        if (keyword == "group-read") {
            if (have_policy) { why = "second group-read line"; return false; }
            if (value == "anyone") dir.anyone_reads_groups = true;
            else if (value == "logged-in") dir.anyone_reads_groups = false;
            else { why = "group-read must be 'anyone' or 'logged-in'"; return false; }
            have_policy = true;
            return true;
        }
        if (keyword == "server") {
            if (have_server) { why = "second server line"; return false; }
            std::vector<DnPart> n;
            if (!typed_name(value, n, why)) return false;
            if (known_entry(n)) { why = "name '" + value + "' is already an entry"; return false; }
            dir.server = std::move(n);
            have_server = true;
            return true;
        }
        if (keyword == "group") {
            std::vector<DnPart> n;
            if (!typed_name(value, n, why)) return false;
            if (is_group(n)) return true;  // already named by a member line
            if (known_entry(n)) { why = "name '" + value + "' is already an entry"; return false; }
            dir.groups.push_back(std::move(n));
            return true;
        }
        if (keyword == "user") {
            DirUser u;
            if (!typed_name(value, u.name, why)) return false;
            if (known_entry(u.name)) { why = "name '" + value + "' is already an entry"; return false; }
            dir.users.push_back(std::move(u));
            user_has_password = false;
            return true;
        }
        if (keyword == "password" || keyword == "member" || keyword == "member-on-group" ||
            keyword == "member-on-user") {
            if (dir.users.empty()) { why = std::string(keyword) + " line before any user line"; return false; }
            DirUser& u = dir.users.back();
            if (keyword == "password") {
                if (user_has_password) { why = "second password for this user"; return false; }
                if (!utf8_to_latin1(value, u.password)) { why = "password outside ISO 8859-1"; return false; }
                user_has_password = true;
                return true;
            }
            std::vector<DnPart> g;
            if (!typed_name(value, g, why)) return false;
            if (!is_group(g)) {
                if (known_entry(g)) { why = "'" + value + "' is not a group"; return false; }
                dir.groups.push_back(g);
            }
            // "member": both sides, as the directory's own tools keep it;
            // the others one side only, as some provisioning does.
            for (const auto& have : u.groups) {
                if (same_name(have, g)) { why = "user is already a member of '" + value + "'"; return false; }
            }
            for (const auto& have : u.listed_in) {
                if (same_name(have, g)) { why = "user is already a member of '" + value + "'"; return false; }
            }
            if (keyword != "member-on-group") u.groups.push_back(g);
            if (keyword != "member-on-user") u.listed_in.push_back(std::move(g));
            return true;
        }
        why = "unknown keyword '" + std::string(keyword) + "'";
        return false;
    }
};

}  // namespace

bool parse_directory(std::string_view text, Directory& out, std::string& error) {
    out = Directory{};
    Parser p{out, Charset::Utf8, false, false, false, false, {}};
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);

        const auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (raw.find('\0') != std::string_view::npos) return fail("NUL byte in line");
        // Every line is taken apart as UTF-8.
        std::string decoded;
        if (p.charset == Charset::Utf8) {
            std::u16string units;
            if (!utf8_to_units(raw, units)) return fail("not UTF-8");
            decoded = std::string(raw);
        } else {
            decoded = units_to_utf8(latin1_to_units(raw));
        }
        const std::string_view line = trim(decoded);
        if (line.empty() || line.front() == '#') continue;

        size_t split = 0;
        while (split < line.size() && !is_blank(line[split])) ++split;
        const std::string_view keyword = line.substr(0, split);
        const std::string_view rest = trim(line.substr(split));
        std::string value;
        std::string why;
        if (!unquote(rest, value, why)) return fail(why);
        if (rest.empty() && keyword != "password") {
            std::string why_empty(1, '\'');  // built piecewise: GCC 12 misreports operator+ here
            why_empty.append(keyword).append("' needs a value");
            return fail(why_empty);
        }
        if (!p.line(keyword, value)) return fail(p.why);
    }
    if (!p.have_tree) { error = "end of file: no tree line"; return false; }
    if (!p.have_server) { error = "end of file: no server line"; return false; }
    return true;
}

bool load_directory(const char* path, Directory& out, std::string& error) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) { error = std::string("cannot open ") + path; return false; }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) { error = std::string("cannot read ") + path; return false; }
    return parse_directory(text, out, error);
}

}  // namespace ts
