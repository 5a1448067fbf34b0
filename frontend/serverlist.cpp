#include "frontend/serverlist.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits only, at most 65535 and not 0.
bool parse_port(std::string_view s, uint16_t* out) {
    if (s.empty() || s.size() > 5) return false;
    uint32_t v = 0;
    for (const char c : s) {
        if (!is_digit(c)) return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v == 0 || v > 65535) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

bool only_digits_and_dots(std::string_view s) {
    for (const char c : s) {
        if (!is_digit(c) && c != '.') return false;
    }
    return true;
}

// Four decimal numbers 0-255 separated by '.'; leading zeros are decimal
// too. False for anything else, and for 255.255.255.255, which no server has.
bool parse_dotted_decimal(std::string_view s, in_addr* out) {
    uint32_t addr = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i >= s.size() || s[i++] != '.')) return false;
        if (i >= s.size() || !is_digit(s[i])) return false;
        uint32_t v = 0;
        while (i < s.size() && is_digit(s[i])) {
            v = v * 10 + static_cast<uint32_t>(s[i++] - '0');
            if (v > 255) return false;
        }
        addr = addr << 8 | v;
    }
    if (i != s.size() || addr == 0xFFFFFFFFu) return false;
    out->s_addr = htonl(addr);
    return true;
}

// Bytes from..to of text (from <= to <= text.size()).
std::string_view part(std::string_view text, size_t from, size_t to) {
    return std::string_view(text.data() + from, to - from);
}

void parse_entry(std::string_view text, ServerEntry* e) {
    e->kind = ENTRY_INVALID;
    e->has_port = false;
    e->host[0] = '\0';
    std::string_view host = text;
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        host = part(text, 0, colon);
        if (!parse_port(part(text, colon + 1, text.size()), &e->port)) return;
        e->has_port = true;
    }
    if (host.empty() || host.size() > HOST_NAME_LIMIT) return;
    std::copy(host.begin(), host.end(), e->host);
    e->host[host.size()] = '\0';
    if (parse_dotted_decimal(host, &e->address)) {
        e->kind = ENTRY_ADDRESS;
    } else if (!only_digits_and_dots(host)) {
        e->kind = ENTRY_NAME;
    }
}

}  // namespace

void parse_server_list(std::string_view text, int32_t port_setting, ServerList* out) {
    out->count = 0;
    out->left_out = 0;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const size_t end = comma == std::string_view::npos ? text.size() : comma;
        if (out->count == SERVER_ENTRIES_MAX) {
            ++out->left_out;
        } else {
            ServerEntry& e = out->entries[out->count++];
            e.text_start = static_cast<uint16_t>(start);
            e.text_length = static_cast<uint16_t>(end - start);
            e.port = static_cast<uint16_t>(port_setting & 0xFFFF);
            parse_entry(part(text, start, end), &e);
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
}

std::string_view server_entry_text(std::string_view text, const ServerEntry& e) {
    if (e.text_start > text.size() || e.text_length > text.size() - e.text_start) return {};
    return part(text, e.text_start, e.text_start + e.text_length);
}
