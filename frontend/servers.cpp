#include "frontend/servers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "frontend/config.h"
#include "frontend/log.h"
#include "ncpclient/ncpclient.h"

namespace {

constexpr size_t MAX_ENTRIES = 32;
constexpr size_t HOST_NAME_LIMIT = 255;

struct Candidate {
    ServerCandidate c;
    char text[INET_ADDRSTRLEN];  // the address, for log lines
};

Candidate table[MAX_SERVERS];
size_t table_count = 0;
Backoff entry_backoff[MAX_ENTRIES];  // look-ups of names, and entries that give no address
size_t tried = 0;
ServerCandidate* in_use = nullptr;
bool have_lost = false;
sockaddr_in lost_addr;
bool as_configured = false;

// One entry of the list, as written.
struct Entry {
    const char* text;
    size_t len;
    char host[HOST_NAME_LIMIT + 1];
    uint16_t port;
    bool has_port;
};

// Digits only, at most 65535 and not 0.
bool parse_port(const char* s, size_t len, uint16_t* out) {
    if (len == 0 || len > 5) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + static_cast<uint32_t>(s[i] - '0');
    }
    if (v == 0 || v > 65535) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

// Splits "host[:port]"; false when the port is not a port or the host is
// empty or too long for a name.
bool parse_entry(const char* text, size_t len, Entry* e) {
    e->text = text;
    e->len = len;
    e->has_port = false;
    e->port = static_cast<uint16_t>(config_port & 0xFFFF);
    const char* colon = static_cast<const char*>(std::memchr(text, ':', len));
    size_t host_len = len;
    if (colon != nullptr) {
        host_len = static_cast<size_t>(colon - text);
        if (!parse_port(colon + 1, len - host_len - 1, &e->port)) return false;
        e->has_port = true;
    }
    if (host_len == 0 || host_len > HOST_NAME_LIMIT) return false;
    std::memcpy(e->host, text, host_len);
    e->host[host_len] = '\0';
    return true;
}

bool only_digits_and_dots(const char* s) {
    for (; *s != '\0'; ++s) {
        if ((*s < '0' || *s > '9') && *s != '.') return false;
    }
    return true;
}

// Four decimal numbers 0-255 separated by '.'; leading zeros are decimal
// too. False for anything else.
bool parse_dotted_decimal(const char* s, in_addr* out) {
    uint32_t addr = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *s++ != '.') return false;
        if (*s < '0' || *s > '9') return false;
        uint32_t v = 0;
        while (*s >= '0' && *s <= '9') {
            v = v * 10 + static_cast<uint32_t>(*s++ - '0');
            if (v > 255) return false;
        }
        addr = addr << 8 | v;
    }
    if (*s != '\0') return false;
    out->s_addr = htonl(addr);
    return true;
}

// The back-off a candidate had before this refresh, or a fresh one.
Backoff earlier_backoff(const Candidate* old, size_t old_count, size_t entry, const sockaddr_in& a) {
    for (size_t i = 0; i < old_count; ++i) {
        const sockaddr_in& b = old[i].c.addr;
        if (old[i].c.entry == entry && b.sin_addr.s_addr == a.sin_addr.s_addr && b.sin_port == a.sin_port)
            return old[i].c.backoff;
    }
    return Backoff{0, 0};
}

struct Builder {
    Candidate* fresh;
    size_t count;
    const Candidate* old;
    size_t old_count;
};

void add_candidate(Builder* b, size_t entry, in_addr address, uint16_t port) {
    if (b->count == MAX_SERVERS) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = address;
    for (size_t i = 0; i < b->count; ++i) {
        const sockaddr_in& other = b->fresh[i].c.addr;
        if (other.sin_addr.s_addr == a.sin_addr.s_addr && other.sin_port == a.sin_port) return;  // listed twice
    }
    Candidate& c = b->fresh[b->count++];
    c.c.addr = a;
    c.c.entry = entry;
    c.c.backoff = earlier_backoff(b->old, b->old_count, entry, a);
    if (inet_ntop(AF_INET, &address, c.text, sizeof c.text) == nullptr) c.text[0] = '\0';
}

// The candidates an entry had before, kept while its name is not looked up.
void keep_earlier(Builder* b, size_t entry) {
    for (size_t i = 0; i < b->old_count; ++i) {
        if (b->old[i].c.entry == entry) add_candidate(b, entry, b->old[i].c.addr.sin_addr, ntohs(b->old[i].c.addr.sin_port));
    }
}

// Every IPv4 address of the name; false when it has none.
bool look_up(Builder* b, size_t entry, const Entry& e) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(e.host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    bool any = false;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in sin;
        std::memcpy(&sin, a->ai_addr, sizeof sin);
        if (sin.sin_addr.s_addr == INADDR_NONE) continue;
        add_candidate(b, entry, sin.sin_addr, e.port);
        any = true;
    }
    freeaddrinfo(list);
    return any;
}

// An entry that gives no address: logged, and backing off like a candidate.
void unresolved(size_t entry, const Entry& e, int64_t now) {
    addtolog("unable to resolve %.*s.\r\n", static_cast<int>(e.len), e.text);
    writetolog();
    if (entry < MAX_ENTRIES) backoff_failed(&entry_backoff[entry], now);
    ++tried;
}

}  // namespace

bool backoff_due(const Backoff* b, int64_t now) { return b->retry_at == 0 || now >= b->retry_at; }

void backoff_failed(Backoff* b, int64_t now) {
    if (b->failures < UINT32_MAX) ++b->failures;
    int64_t seconds = BACKOFF_FIRST_SECONDS;
    for (uint32_t i = 1; i < b->failures && seconds < BACKOFF_MAX_SECONDS; ++i) seconds *= 2;
    if (seconds > BACKOFF_MAX_SECONDS) seconds = BACKOFF_MAX_SECONDS;
    b->retry_at = now + seconds * NCP_NS_PER_SECOND;
    if (b->retry_at == 0) b->retry_at = 1;
}

void backoff_reset(Backoff* b) { *b = Backoff{0, 0}; }

size_t servers_refresh(int64_t now) {
    static Candidate old[MAX_SERVERS];
    const size_t old_count = table_count;
    std::memcpy(old, table, sizeof(Candidate) * old_count);
    Builder b{table, 0, old, old_count};
    tried = 0;
    in_use = nullptr;

    size_t entries = 0;
    bool any_port = false;
    const char* p = config_server;
    for (;;) {
        const char* comma = std::strchr(p, ',');
        const size_t len = comma != nullptr ? static_cast<size_t>(comma - p) : std::strlen(p);
        const size_t k = entries++;
        Entry e;
        in_addr address{};
        const bool due = k >= MAX_ENTRIES || backoff_due(&entry_backoff[k], now);
        if (!parse_entry(p, len, &e)) {
            if (due) unresolved(k, e, now);
        } else {
            any_port = any_port || e.has_port;
            if (parse_dotted_decimal(e.host, &address)) {
                if (address.s_addr == INADDR_NONE) {
                    if (due) unresolved(k, e, now);
                } else {
                    add_candidate(&b, k, address, e.port);
                }
            } else if (only_digits_and_dots(e.host)) {
                // Not a valid address, and never a name: no look-up that
                // might read its numbers another way.
                if (due) unresolved(k, e, now);
            } else if (!due) {
                keep_earlier(&b, k);
            } else if (look_up(&b, k, e)) {
                if (k < MAX_ENTRIES) backoff_reset(&entry_backoff[k]);
            } else {
                unresolved(k, e, now);
                keep_earlier(&b, k);
            }
        }
        if (comma == nullptr) break;
        p = comma + 1;
    }
    table_count = b.count;
    as_configured = entries == 1 && !any_port && table_count == 1;
    return table_count;
}

ServerCandidate* server_at(size_t i) { return i < table_count ? &table[i].c : nullptr; }

size_t servers_tried() { return tried; }
void servers_note_try() { ++tried; }

long servers_next_try_seconds(int64_t now) {
    int64_t first = 0;
    const auto consider = [&](const Backoff& b) {
        if (b.retry_at != 0 && (first == 0 || b.retry_at < first)) first = b.retry_at;
    };
    for (size_t i = 0; i < table_count; ++i) consider(table[i].c.backoff);
    for (const Backoff& b : entry_backoff) consider(b);
    if (first <= now) return 1;
    const int64_t seconds = (first - now + NCP_NS_PER_SECOND - 1) / NCP_NS_PER_SECOND;
    return seconds < 1 ? 1 : static_cast<long>(seconds);
}

ServerCandidate* server_in_use() { return in_use; }
void server_use(ServerCandidate* c) { in_use = c; }

void server_lost(int64_t now) {
    if (in_use == nullptr) return;
    backoff_failed(&in_use->backoff, now);
    lost_addr = in_use->addr;
    have_lost = true;
    in_use = nullptr;
}

ServerCandidate* server_lost_candidate() {
    if (!have_lost) return nullptr;
    have_lost = false;
    for (size_t i = 0; i < table_count; ++i) {
        const sockaddr_in& a = table[i].c.addr;
        if (a.sin_addr.s_addr == lost_addr.sin_addr.s_addr && a.sin_port == lost_addr.sin_port) return &table[i].c;
    }
    return nullptr;
}

bool servers_as_configured() { return as_configured; }

const char* server_log_host(const ServerCandidate* c) {
    if (as_configured) return config_server;
    for (size_t i = 0; i < table_count; ++i) {
        if (&table[i].c == c) return table[i].text;
    }
    return "";
}

unsigned long server_log_port(const ServerCandidate* c) {
    if (as_configured) return static_cast<uint32_t>(config_port);
    return ntohs(c->addr.sin_port);
}

void servers_reset() {
    table_count = 0;
    tried = 0;
    in_use = nullptr;
    have_lost = false;
    as_configured = false;
    for (Backoff& b : entry_backoff) backoff_reset(&b);
}
