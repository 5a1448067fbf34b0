#include "tests/frontend/fake_directory.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "ncpclient/ncpclient.h"
#include "ndsauth/ndsauth.h"

FakeDirectory fake;

namespace {

void trace(const std::string& call) {
    fake.calls.push_back(call);
    if (fake.trace_stderr) std::fprintf(stderr, "%s\n", call.c_str());
}

void put_le32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

void fake_reset() { fake = FakeDirectory{}; }

std::u16string stored(const char* ascii) {
    std::u16string s;
    for (const char* p = ascii; *p != 0; ++p) s.push_back(static_cast<unsigned char>(*p));
    s.push_back(0);
    return s;
}

std::vector<uint8_t> encode_groups(const std::vector<std::u16string>& groups) {
    std::vector<uint8_t> out;
    put_le32(out, static_cast<uint32_t>(groups.size()));
    for (const auto& g : groups) {
        put_le32(out, static_cast<uint32_t>(2 * g.size()));
        for (char16_t u : g) {
            out.push_back(static_cast<uint8_t>(u));
            out.push_back(static_cast<uint8_t>(u >> 8));
        }
    }
    return out;
}

void NCPCONN_init(NcpConnection* c) {
    std::memset(c, 0, sizeof *c);
    c->sock = -1;
}

int NCPCONN_tcpconnect(NcpConnection* c, const sockaddr_in* server, int timeout) {
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &server->sin_addr, addr, sizeof addr);
    trace("connect " + std::string(addr) + ":" + std::to_string(ntohs(server->sin_port)) +
          " timeout " + std::to_string(timeout));
    if (c->sock >= 0) ++fake.overwritten_sockets;
    fake.last_address = *server;
    fake.last_timeout = timeout;
    if (fake.connect_fails || (fake.refused_port != 0 && ntohs(server->sin_port) == fake.refused_port)) {
        return 1;
    }
    c->sock = fake.next_socket++;
    c->connected = 1;
    return 0;
}

int NCPCONN_disconnect(NcpConnection* c) {
    trace("disconnect");
    c->sock = -1;
    c->connected = 0;
    return 0;
}

int do_login(NcpConnection*, const char* user, const char* password) {
    trace("login " + std::string(user));
    fake.last_user = user;
    fake.last_password = password;
    if (fake.login_fails) return 1;
    if (!fake.wrong_password.empty() && fake.wrong_password == password) return 1;
    return 0;
}

int do_auth(NcpConnection*) {
    trace("auth");
    return fake.auth_fails ? 1 : 0;
}

int ncp_change_connection_state(NcpConnection*, int state) {
    trace("state " + std::to_string(state));
    return fake.state_fails ? 1 : 0;
}

int NCPCONN_ndsping(NcpConnection* c) {
    trace("ping");
    if (c->sock < 0) return 1;
    if (fake.failing_pings > 0) {
        --fake.failing_pings;
        return 1;
    }
    return 0;
}

int ncp_NDS_RESOLVE_NAME(NcpConnection* c, const char* name, uint32_t* entry_id) {
    trace("resolve " + std::string(name));
    if (c->sock < 0) return 1;
    for (const auto& u : fake.users) {
        if (u.name == name) {
            if (u.breaks_connection) fake.failing_pings = 1;
            *entry_id = u.id;
            return 0;
        }
    }
    return 1;
}

int ncp_NDS_READ(NcpConnection* c, uint32_t entry_id, const char* attr, uint32_t* syntax,
                 uint8_t* buf, size_t* size) {
    trace("read " + std::to_string(entry_id) + " " + attr);
    if (c->sock < 0) return -1;
    *syntax = 1;
    if (fake.raw_read) {
        std::memcpy(buf, fake.raw_bytes.data(), std::min(fake.raw_bytes.size(), *size));
        *size = fake.raw_used;
        return 0;
    }
    for (const auto& u : fake.users) {
        if (u.id != entry_id) continue;
        if (u.read_fails) return -1;
        std::vector<uint8_t> bytes = encode_groups(u.groups);
        if (bytes.size() > *size) return -1;
        std::memcpy(buf, bytes.data(), bytes.size());
        *size = bytes.size();
        return 0;
    }
    return -1;
}
