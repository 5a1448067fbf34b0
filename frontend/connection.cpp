#include "frontend/connection.h"

#include <arpa/inet.h>

#include <cstring>

#include "frontend/charset.h"
#include "frontend/config.h"
#include "frontend/log.h"
#include "frontend/reason.h"
#include "frontend/servers.h"
#include "ndsauth/ndsauth.h"

NcpConnection conn;
int32_t flag_connected = 0;
sockaddr_in server_sockaddr;

namespace {

// The search user as code units under the configured character set.
uint16_t search_user[CONFIG_TEXT_SIZE];
size_t search_user_length = 0;

// A step of the login sequence failed: its line, the reason with Debug, and
// the socket closed, so that the next negative answer's ping fails and a
// fresh connection is tried.
int login_step_failed(const char* step) {
    if (config_debug) log_failure_reason(step, conn.failure);
    writetolog();
    NCPCONN_disconnect(&conn);
    return 1;
}

void log_connected(const ServerCandidate* c) {
    if (servers_as_configured()) {
        addtolog("server %s connected.\r\n", config_server);
    } else {
        addtolog("server %s:%lu connected.\r\n", server_log_host(c), server_log_port(c));
    }
    writetolog();
}

// One candidate: connection set-up and, with a search user, login,
// authentication and change of state, all within `Timeout` seconds.
int connect_to(const ServerCandidate* c) {
    server_sockaddr = c->addr;
    const char* host = server_log_host(c);
    const unsigned long port = server_log_port(c);
    // A socket left from an anonymous connection is closed before the record
    // is reused.
    if (conn.sock >= 0) NCPCONN_disconnect(&conn);
    conn.failure = NcpFailure{};
    conn.budget_end = ncp_clock_ns() + static_cast<int64_t>(config_timeout) * NCP_NS_PER_SECOND;
    if (NCPCONN_tcpconnect(&conn, &server_sockaddr, config_timeout) != 0) {
        addtolog("unable to connect %s:%lu.\r\n", host, port);
        return login_step_failed("set-up");
    }
    if (config_user[0] == '\0') {
        log_connected(c);
        return 0;
    }
    conn.failure = NcpFailure{};
    if (do_login(&conn, std::span<const uint16_t>(search_user, search_user_length), config_password) != 0) {
        addtolog("login failed on %s:%lu.\r\n", host, port);
        return login_step_failed("login");
    }
    conn.failure = NcpFailure{};
    if (do_auth(&conn) != 0) {
        addtolog("auth failed\r\n");
        return login_step_failed("authentication");
    }
    conn.failure = NcpFailure{};
    if (ncp_change_connection_state(&conn, 1) != 0) {
        addtolog("connection change state failed\r\n");
        return login_step_failed("change state");
    }
    flag_connected = 1;
    log_connected(c);
    return 0;
}

// One candidate tried; a failure lengthens its back-off unless the failure
// that put it there is the one being retried.
int try_candidate(ServerCandidate* c, bool count_failure) {
    servers_note_try();
    if (connect_to(c) != 0) {
        if (count_failure) backoff_failed(&c->backoff, ncp_clock_ns());
        return 1;
    }
    backoff_reset(&c->backoff);
    server_use(c);
    return 0;
}

}  // namespace

int make_connection() {
    if (flag_connected == 1) return 1;
    if (name_to_units(config_charset, config_user, search_user, &search_user_length) != NAME_OK) {
        char user[LOG_ESCAPED_SIZE];
        log_request_name(config_charset, config_user, user, sizeof user);
        addtolog("SearchUser %s is not UTF-8.\r\n", user);
        writetolog();
        return 1;
    }
    const int64_t now = ncp_clock_ns();
    const size_t count = servers_refresh(now);
    // The caller's budget (a request's check) is not this phase's: each
    // candidate has a budget of its own.
    const int64_t budget = conn.budget_end;
    int status = 1;
    for (size_t i = 0; i < count && status != 0; ++i) {
        ServerCandidate* c = server_at(i);
        if (backoff_due(&c->backoff, now)) status = try_candidate(c, true);
    }
    // The server whose connection just broke, once more as the last resort;
    // its back-off stands as the loss set it.
    ServerCandidate* lost = server_lost_candidate();
    if (status != 0 && lost != nullptr && !backoff_due(&lost->backoff, now)) status = try_candidate(lost, false);
    conn.budget_end = budget;
    return status;
}

int clear_connection() {
    if (flag_connected == 0) return 1;
    flag_connected = 0;
    NCPCONN_disconnect(&conn);
    addtolog("connection to server closed.\r\n");
    writetolog();
    return 0;
}

void server_connection_lost() { server_lost(ncp_clock_ns()); }
