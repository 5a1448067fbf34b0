#include "frontend/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "frontend/config.h"
#include "frontend/log.h"
#include "ndsauth/ndsauth.h"

NcpConnection conn;
int32_t flag_connected = 0;
sockaddr_in server_sockaddr;

namespace {

unsigned long port_for_log() { return static_cast<uint32_t>(config_port); }

// The server as a dotted-decimal IPv4 address, or else the first IPv4
// address of its host name. 1 when neither gives an address.
int server_address(in_addr* out) {
    if (config_server[0] == '\0') return 1;
    if (inet_pton(AF_INET, config_server, out) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(config_server, nullptr, &hints, &list) != 0 || list == nullptr) return 1;
    int status = 1;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, a->ai_addr, sizeof sin);
            *out = sin.sin_addr;
            status = 0;
            break;
        }
    }
    freeaddrinfo(list);
    return status;
}

}  // namespace

int make_connection() {
    if (flag_connected == 1) return 1;

    in_addr address{};
    if (server_address(&address) != 0 || address.s_addr == INADDR_NONE) {
        addtolog("unable to resolve %s.\r\n", config_server);
        writetolog();
        return 1;
    }
    std::memset(&server_sockaddr, 0, sizeof server_sockaddr);
    server_sockaddr.sin_family = AF_INET;
    server_sockaddr.sin_port = htons(static_cast<uint16_t>(config_port));
    server_sockaddr.sin_addr = address;

    // A socket left from an anonymous connection or a failed login is closed
    // before the record is reused.
    if (conn.sock >= 0) NCPCONN_disconnect(&conn);
    if (NCPCONN_tcpconnect(&conn, &server_sockaddr, config_timeout) != 0) {
        addtolog("unable to connect %s:%lu.\r\n", config_server, port_for_log());
        writetolog();
        return 1;
    }
    if (config_user[0] == '\0') {
        addtolog("server %s connected.\r\n", config_server);
        writetolog();
        return 0;
    }
    if (do_login(&conn, config_user, config_password) != 0) {
        addtolog("login failed on %s:%lu.\r\n", config_server, port_for_log());
        writetolog();
        return 1;
    }
    if (do_auth(&conn) != 0) {
        addtolog("auth failed\r\n");
        writetolog();
        return 1;
    }
    if (ncp_change_connection_state(&conn, 1) != 0) {
        addtolog("connection change state failed\r\n");
        writetolog();
        return 1;
    }
    flag_connected = 1;
    addtolog("server %s connected.\r\n", config_server);
    writetolog();
    return 0;
}

int clear_connection() {
    if (flag_connected == 0) return 1;
    flag_connected = 0;
    NCPCONN_disconnect(&conn);
    addtolog("connection to server closed.\r\n");
    writetolog();
    return 0;
}
