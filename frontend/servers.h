// The directory servers to try, from the Server setting ("host" or
// "host:port", comma-separated), and the back-off of those that failed.
//
// An entry of four decimal numbers 0-255 is an IPv4 address read in
// decimal; anything else is looked up as a host name, and every IPv4
// address it has is a candidate. Candidates keep the order of the list.
// A candidate that failed, and a name that could not be looked up, wait
// before they are tried again: 1 s after the first failure, doubling with
// every further one up to 60 s; a success starts them afresh.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

constexpr size_t MAX_SERVERS = 32;  // candidates kept; further addresses are ignored
constexpr int64_t BACKOFF_FIRST_SECONDS = 1;
constexpr int64_t BACKOFF_MAX_SECONDS = 60;

struct Backoff {
    uint32_t failures;  // in a row
    int64_t retry_at;   // monotonic nanoseconds; 0 = may be tried now
};

struct ServerCandidate {
    sockaddr_in addr;
    size_t entry;       // index of the list entry it came from
    Backoff backoff;
};

// Looks up the entries whose back-off allows it (logging "unable to resolve
// ENTRY." for each that gives no address) and returns the number of
// candidates; server_at(i) for i below it stays valid until the next call.
size_t servers_refresh(int64_t now);
ServerCandidate* server_at(size_t i);
// Number of look-ups and candidates servers_refresh and the caller tried in
// this connection phase (see servers_note_try).
size_t servers_tried();
void servers_note_try();

bool backoff_due(const Backoff* b, int64_t now);
void backoff_failed(Backoff* b, int64_t now);
void backoff_reset(Backoff* b);
// Seconds until the first candidate or look-up may be tried again (at least 1).
long servers_next_try_seconds(int64_t now);

// The candidate of the connection held, or null.
ServerCandidate* server_in_use();
void server_use(ServerCandidate* c);
// The connection held broke: its candidate backs off, and is remembered for
// one last try by the next connection phase when no other server is reached
// (a restarted server, or a connection a firewall dropped, costs one answer
// rather than a back-off). server_lost_candidate() finds it in the current
// list (null when gone or none) and forgets it.
void server_lost(int64_t now);
ServerCandidate* server_lost_candidate();

// True when the list is one entry without a port that gave one address:
// log lines then name the server as configured (config_server, config_port),
// as with a single server; otherwise they name the address and port.
bool servers_as_configured();
// The server of c for log lines "...%s:%lu.": host text and port.
const char* server_log_host(const ServerCandidate* c);
unsigned long server_log_port(const ServerCandidate* c);

// Forgets the list and every back-off (for a fresh start in tests).
void servers_reset();
