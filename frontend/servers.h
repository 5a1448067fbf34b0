// The directory servers to try, from the Server list (frontend/serverlist.h):
// the look-up of names, the candidates in the order of the list, their
// back-off, the one in use, and how log lines name them.
//
// Every entry keeps its own place in the table whatever its neighbours
// resolve to: an address is one candidate, a name up to
// ADDRESSES_PER_NAME (the first the resolver gives; what it gives beyond
// them is logged once per name). Every candidate, and every entry that gives
// no address, backs off (frontend/backoff.h).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "frontend/backoff.h"
#include "frontend/serverlist.h"

constexpr size_t ADDRESSES_PER_NAME = 8;
constexpr size_t SERVER_SLOTS = SERVER_ENTRIES_MAX * ADDRESSES_PER_NAME;

struct ServerCandidate {
    sockaddr_in addr;
    Backoff backoff;
    char text[INET_ADDRSTRLEN];  // the address, for log lines
    bool used;                   // false: an empty place, or an address listed before
};

// Looks up the names whose back-off allows it (logging "unable to resolve
// ENTRY." for each entry that gives no address) and returns the number of
// places to scan with server_at, in the order of the list.
size_t servers_refresh(int64_t now);
// The candidate in place i, or null for a place that holds none.
ServerCandidate* server_at(size_t i);
// Look-ups and candidates tried in this connection phase (servers_refresh
// starts the count; the caller adds its tries with servers_note_try).
size_t servers_tried();
void servers_note_try();
// Seconds until the first candidate or look-up may be tried again (at least 1).
long servers_next_try_seconds(int64_t now);

// The candidate of the connection held, or null.
ServerCandidate* server_in_use();
void server_use(ServerCandidate* c);
// The connection held broke: its candidate backs off. With last_try, the
// next connection phase tries it once more when no other server is reached
// (server_lost_candidate finds it, then forgets it).
void server_lost(int64_t now, bool last_try);
ServerCandidate* server_lost_candidate();

// True when the list is one entry without a port that gave one address: log
// lines then name the server as configured (config_server, config_port);
// otherwise they name the address and port.
bool servers_as_configured();
const char* server_log_host(const ServerCandidate* c);
unsigned long server_log_port(const ServerCandidate* c);

// Forgets every candidate, back-off and logged name (a fresh start in tests).
void servers_reset();
