#include "frontend/servers.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "frontend/config.h"
#include "frontend/log.h"
#include "frontend/logtext.h"
#include "runtime/clock.h"

namespace {

ServerCandidate table[SERVER_SLOTS];
Backoff entry_backoff[SERVER_ENTRIES_MAX];  // look-ups, and entries that give no address
bool more_logged[SERVER_ENTRIES_MAX];       // "more addresses than are tried" said for the name
size_t slots = 0;
size_t tried = 0;
ServerCandidate* in_use = nullptr;
ServerCandidate* lost = nullptr;
sockaddr_in lost_addr;
bool as_configured = false;

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

sockaddr_in socket_address(in_addr address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = address;
    return a;
}

// True when a place before `place` holds the same address and port.
bool listed_before(size_t place, const sockaddr_in& a) {
    for (size_t i = 0; i < place; ++i) {
        if (table[i].used && same_address(table[i].addr, a)) return true;
    }
    return false;
}

// The places of entry k: a candidate for each address, keeping the back-off
// of the place that had the same address before.
void fill_entry(size_t k, const in_addr* addresses, size_t count, uint16_t port) {
    ServerCandidate* places = &table[k * ADDRESSES_PER_NAME];
    ServerCandidate earlier[ADDRESSES_PER_NAME];
    std::memcpy(earlier, places, sizeof earlier);
    for (size_t i = 0; i < ADDRESSES_PER_NAME; ++i) {
        ServerCandidate& c = places[i];
        c = ServerCandidate{};
        if (i >= count) continue;
        c.addr = socket_address(addresses[i], port);
        if (listed_before(k * ADDRESSES_PER_NAME + i, c.addr)) continue;
        c.used = true;
        for (const ServerCandidate& e : earlier) {
            if (e.used && same_address(e.addr, c.addr)) c.backoff = e.backoff;
        }
        if (inet_ntop(AF_INET, &c.addr.sin_addr, c.text, sizeof c.text) == nullptr) c.text[0] = '\0';
    }
}

void log_entry(const char* format, const ServerEntry& e) {
    const std::string_view text = server_entry_text(config_server, e);
    char raw[CONFIG_SERVER_SIZE];
    const size_t n = std::min(text.size(), sizeof raw - 1);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), raw);
    raw[n] = '\0';
    char shown[3 * CONFIG_SERVER_SIZE + 1];
    log_escape(raw, shown, sizeof shown);
    addtolog(format, shown);
    writetolog();
}

// The first IPv4 addresses of the name, at most ADDRESSES_PER_NAME; false
// when it has none.
bool look_up(size_t k, const ServerEntry& e) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(e.host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    in_addr addresses[ADDRESSES_PER_NAME];
    size_t count = 0;
    bool more = false;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in sin;
        std::memcpy(&sin, a->ai_addr, sizeof sin);
        if (sin.sin_addr.s_addr == INADDR_NONE) continue;
        bool seen = false;
        for (size_t i = 0; i < count; ++i) seen = seen || addresses[i].s_addr == sin.sin_addr.s_addr;
        if (seen) continue;
        if (count == ADDRESSES_PER_NAME) {
            more = true;
            break;
        }
        addresses[count++] = sin.sin_addr;
    }
    freeaddrinfo(list);
    if (count == 0) return false;
    if (more && !more_logged[k]) {
        more_logged[k] = true;
        log_entry("server %s has more than 8 addresses; only the first 8 are tried.\r\n", e);
    }
    fill_entry(k, addresses, count, e.port);
    return true;
}

// An entry that gives no address: logged, and backing off like a candidate.
void unresolved(size_t k, const ServerEntry& e, int64_t now) {
    log_entry("unable to resolve %s.\r\n", e);
    backoff_failed(&entry_backoff[k], now);
    ++tried;
}

bool backing_off(const ServerCandidate& c) { return c.used && c.backoff.retry_at != 0; }

}  // namespace

size_t servers_refresh(int64_t now) {
    tried = 0;
    in_use = nullptr;
    const ServerList& list = config_servers;
    for (size_t k = 0; k < list.count; ++k) {
        const ServerEntry& e = list.entries[k];
        if (e.kind == ENTRY_ADDRESS) {
            fill_entry(k, &e.address, 1, e.port);
            continue;
        }
        if (!backoff_due(&entry_backoff[k], now)) continue;  // the earlier candidates stay
        if (e.kind == ENTRY_INVALID || !look_up(k, e)) {
            unresolved(k, e, now);
            continue;
        }
        backoff_reset(&entry_backoff[k]);
    }
    slots = list.count * ADDRESSES_PER_NAME;
    size_t candidates = 0;
    for (size_t i = 0; i < slots; ++i) candidates += table[i].used ? 1 : 0;
    as_configured = list.count == 1 && !list.entries[0].has_port && candidates == 1;
    return slots;
}

ServerCandidate* server_at(size_t i) { return i < slots && table[i].used ? &table[i] : nullptr; }

size_t servers_tried() { return tried; }
void servers_note_try() { ++tried; }

long servers_next_try_seconds(int64_t now) {
    int64_t first = 0;
    const auto consider = [&](const Backoff& b) {
        if (b.retry_at != 0 && (first == 0 || b.retry_at < first)) first = b.retry_at;
    };
    for (size_t i = 0; i < slots; ++i) {
        if (backing_off(table[i])) consider(table[i].backoff);
    }
    for (size_t k = 0; k < config_servers.count; ++k) consider(entry_backoff[k]);
    if (first <= now) return 1;
    const int64_t seconds = (first - now + rt::NS_PER_SECOND - 1) / rt::NS_PER_SECOND;
    return seconds < 1 ? 1 : static_cast<long>(seconds);
}

ServerCandidate* server_in_use() { return in_use; }
void server_use(ServerCandidate* c) { in_use = c; }

void server_lost(int64_t now, bool last_try) {
    if (in_use == nullptr) return;
    backoff_failed(&in_use->backoff, now);
    lost = last_try ? in_use : nullptr;
    if (lost != nullptr) lost_addr = lost->addr;
    in_use = nullptr;
}

ServerCandidate* server_lost_candidate() {
    ServerCandidate* c = lost;
    lost = nullptr;
    if (c == nullptr || !c->used || !same_address(c->addr, lost_addr)) return nullptr;
    return c;
}

bool servers_as_configured() { return as_configured; }

const char* server_log_host(const ServerCandidate* c) { return as_configured ? config_server : c->text; }

unsigned long server_log_port(const ServerCandidate* c) {
    if (as_configured) return static_cast<uint32_t>(config_port);
    return ntohs(c->addr.sin_port);
}

void servers_reset() {
    std::memset(table, 0, sizeof table);
    std::memset(entry_backoff, 0, sizeof entry_backoff);
    std::memset(more_logged, 0, sizeof more_logged);
    slots = 0;
    tried = 0;
    in_use = nullptr;
    lost = nullptr;
}
