#include "frontend/connect.h"

#include "frontend/charset.h"
#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/log.h"
#include "frontend/logtext.h"
#include "frontend/reason.h"
#include "ndsauth/ndsauth.h"
#include "runtime/clock.h"

namespace {

uint16_t search_user[CONFIG_TEXT_SIZE];
size_t search_user_length = 0;

int step_failed(const char* step) {
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

}  // namespace

int prepare_search_user() {
    if (name_to_units(config_charset, config_user, search_user, &search_user_length) == NAME_OK) return 0;
    char user[LOG_ESCAPED_SIZE];
    log_request_name(config_charset, config_user, user, sizeof user);
    addtolog("SearchUser %s is not UTF-8.\r\n", user);
    writetolog();
    return 1;
}

int connect_server(const ServerCandidate* c) {
    server_sockaddr = c->addr;
    const char* host = server_log_host(c);
    const unsigned long port = server_log_port(c);
    // A socket left from an anonymous connection is closed before the record
    // is reused.
    if (conn.sock >= 0) NCPCONN_disconnect(&conn);
    const RequestBudget budget(config_timeout);
    if (NCPCONN_tcpconnect(&conn, &server_sockaddr, config_timeout) != 0) {
        addtolog("unable to connect %s:%lu.\r\n", host, port);
        return step_failed("set-up");
    }
    if (config_user[0] == '\0') {
        log_connected(c);
        return 0;
    }
    if (do_login(&conn, std::span<const uint16_t>(search_user, search_user_length), config_password) != 0) {
        if (conn.failure.kind == NCP_FAIL_KEY_SIZE) {
            addtolog("login failed: the user's key has %d bits, at most %d are supported.\r\n",
                     static_cast<int>(conn.failure.code), AUTH_MAX_MODULUS_BITS);
        } else {
            addtolog("login failed on %s:%lu.\r\n", host, port);
        }
        return step_failed("login");
    }
    if (do_auth(&conn) != 0) {
        addtolog("auth failed\r\n");
        return step_failed("authentication");
    }
    if (ncp_change_connection_state(&conn, 1) != 0) {
        addtolog("connection change state failed\r\n");
        return step_failed("change state");
    }
    flag_connected = 1;
    log_connected(c);
    return 0;
}
