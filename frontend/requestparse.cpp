#include "frontend/requestparse.h"

#include <cstring>

#include "frontend/percent.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The channel ID at the start of line, zero-terminated in place; the
// request after it, or null when the line does not begin with one.
char* split_channel(char* line, const char** channel) {
    size_t n = 0;
    while (is_digit(line[n])) ++n;
    if (n == 0 || (line[n] != ' ' && line[n] != '\0')) return nullptr;
    *channel = line;
    if (line[n] == '\0') return line + n;  // nothing after the ID
    line[n] = '\0';
    return line + n + 1;
}

char* skip_blanks(char* p) {
    while (*p == ' ') ++p;
    return p;
}

// Splits text at blanks into out->groups (each decoded); at least one.
// False when a group holds a NUL.
bool split_groups(char* text, ParsedRequest* out) {
    size_t n = 0;
    char* p = skip_blanks(text);
    while (*p != '\0' && n < REQUEST_GROUPS_MAX) {
        out->groups[n++] = p;
        while (*p != '\0' && *p != ' ') ++p;
        if (*p == '\0') break;
        *p = '\0';
        p = skip_blanks(p + 1);
    }
    if (n == 0) out->groups[n++] = p;  // the empty group name at the end
    out->group_count = n;
    bool whole = true;
    for (size_t i = 0; i < n; ++i) whole = translate_stringfrom_percent(out->groups[i]) == 0 && whole;
    return whole;
}

// The user without its realm ("alice@ACME.EXAMPLE") and without its domain
// ("ACME\alice", "ACME/alice"), as the form asks.
char* strip_user(char* user, const RequestForm& form) {
    if (form.strip_realm) {
        char* at = std::strrchr(user, '@');
        if (at != nullptr) *at = '\0';
    }
    if (form.strip_domain) {
        const size_t sep = std::strcspn(user, "\\/");
        if (user[sep] != '\0') user += sep + 1;
    }
    return user;
}

}  // namespace

[[gnu::hot]] ParseStatus parse_request(char* line, const RequestForm& form, ParsedRequest* out) {
    out->channel = "";
    out->user = nullptr;
    out->group_count = 0;
    out->refused = nullptr;
    char* request = line;
    if (form.concurrency) {
        request = split_channel(line, &out->channel);
        if (request == nullptr) return PARSE_NO_CHANNEL;
    }
    char* blank = std::strchr(request, ' ');
    if (blank == nullptr) return PARSE_NO_BLANK;
    *blank = '\0';
    out->user = request;
    char* group_text = skip_blanks(blank + 1);
    if (form.convert_percent) {
        if (translate_stringfrom_percent(out->user) != 0) out->refused = "user name holds a NUL";
        if (!split_groups(group_text, out) && out->refused == nullptr) out->refused = "group name holds a NUL";
    } else {
        out->groups[0] = group_text;
        out->group_count = 1;
    }
    const bool had_user = out->user[0] != '\0';
    out->user = strip_user(out->user, form);
    if (had_user && out->user[0] == '\0' && out->refused == nullptr) out->refused = "user name empty after stripping";
    return out->refused == nullptr ? PARSE_OK : PARSE_REFUSED;
}

const char* leading_channel(char* line, size_t kept) {
    const char* channel = "";
    if (std::strspn(line, "0123456789") >= kept || split_channel(line, &channel) == nullptr) return "";
    return channel;
}
