// Server connection set-up: TCP and NCP service connection, NDS ping, the
// server's own name (verb 53), its entry ID and its checked public key.
#include <cstring>

#include "ncpclient/ncpclient.h"
#include "ndskey/keyrecord.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"

namespace {

constexpr uint32_t kVerbServerName = 53;
constexpr size_t kPingAreaSize = 1020;
constexpr size_t kNameRequestSize = 512;
constexpr size_t kNameReplySize = 1024;

// NDS ping; the reply's name is kept as the tree name, cut to the field.
int ping_for_tree_name(NcpConnection* conn) {
    uint8_t reply[kPingAreaSize];
    size_t got = 0;
    if (ncp_nds_ping(conn, reply, &got) != 0) return 1;
    std::memset(conn->tree_name, 0, sizeof conn->tree_name);
    rt::Reader r(std::span<const uint8_t>(reply, got));
    r.skip(4);
    size_t name_len = r.le32();
    // Only bytes that arrived, and room for a terminating zero.
    size_t n = name_len < r.left() ? name_len : r.left();
    if (n > sizeof conn->tree_name - 1) n = sizeof conn->tree_name - 1;
    r.copy(conn->tree_name, n);
    return 0;
}

// Verb 53: the server's distinguished name into server_dn. A name that does
// not fit the field fails: a name cut short could resolve to another entry.
int read_server_name(NcpConnection* conn) {
    NdsExchange<kNameRequestSize, kNameReplySize> x(kVerbServerName);
    NWDSBuf& rep = x.rep;
    if (ncp_send_nds_frag(conn, &x.req, &rep) != 0) return 1;
    if (!ncp_nds_completed(&rep)) return 1;
    const uint8_t* len_word = NWDSBufPeekPtrLen(&rep, 0, 4);
    if (len_word == nullptr) return 1;
    // The units, the wire's terminating zero unit among them, must fit.
    size_t units = (static_cast<size_t>(rt::load_le32(len_word)) + 1) / 2;
    if (units > sizeof conn->server_dn) return 1;
    NWDSBufGetNWUNI(&rep, conn->server_dn, sizeof conn->server_dn);
    return rep.failed ? 1 : 0;
}

}  // namespace

int NCPCONN_getserverkey(NcpConnection* conn) {
    if (conn == nullptr) return 1;
    if (ping_for_tree_name(conn) != 0) return 1;
    if (read_server_name(conn) != 0) return 1;
    if (ncp_NDS_RESOLVE_NAME(conn, conn->server_dn, &conn->server_id) != 0) return 1;
    if (ncp_NDS_READ1(conn, conn->server_id, "Public Key", nullptr, conn->server_key, &conn->server_key_len) != 0)
        return 1;
    if (unwrapkey(conn->server_key, &conn->server_key_len) != 0) return 1;
    return 0;
}

int NCPCONN_tcpconnect(NcpConnection* conn, const sockaddr_in* server, int timeout) {
    if (ncp_connect_tcp(conn, server, timeout) != 0) return 1;
    return NCPCONN_getserverkey(conn);
}
