// Feeds arbitrary bytes as the standard input of the request loop and checks
// that every input line gets exactly one well-formed reply. The first byte
// picks the switches (bit 0: percent decoding, bit 1: debug log lines); the
// directory answers every name with a fixed list of groups.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/progname.h"
#include "frontend/requestloop.h"
#include "ncpclient/ncpclient.h"
#include "ndsauth/ndsauth.h"

namespace {

// count 2: "CN=staff.O=acme", then "x.O=a" without its zero unit.
const uint8_t kGroups[] = {
    2, 0, 0, 0,
    32, 0, 0, 0,
    'C', 0, 'N', 0, '=', 0, 's', 0, 't', 0, 'a', 0, 'f', 0, 'f', 0,
    '.', 0, 'O', 0, '=', 0, 'a', 0, 'c', 0, 'm', 0, 'e', 0, 0, 0,
    10, 0, 0, 0,
    'x', 0, '.', 0, 'O', 0, '=', 0, 'a', 0,
};

int in_fd = -1;
int out_fd = -1;

void fail(const char* why) {
    (void)!write(2, why, std::strlen(why));
    std::abort();
}

}  // namespace

void NCPCONN_init(NcpConnection* c) {
    std::memset(c, 0, sizeof *c);
    c->sock = -1;
}
int NCPCONN_tcpconnect(NcpConnection* c, const sockaddr_in*, int) {
    c->sock = 3;
    return 0;
}
int NCPCONN_disconnect(NcpConnection* c) {
    c->sock = -1;
    return 0;
}
int do_login(NcpConnection*, const char*, const char*) { return 0; }
int do_auth(NcpConnection*) { return 0; }
int ncp_change_connection_state(NcpConnection*, int) { return 0; }
int NCPCONN_ndsping(NcpConnection* c) { return c->sock < 0 ? 1 : 0; }
int ncp_NDS_RESOLVE_NAME(NcpConnection*, const char* name, uint32_t* id) {
    if (name[0] == 'z') return 1;  // some names do not resolve
    *id = 1;
    return 0;
}
int ncp_NDS_READ(NcpConnection*, uint32_t, const char*, uint32_t* syntax, uint8_t* buf,
                 size_t* size) {
    *syntax = 1;
    if (*size < sizeof kGroups) return -1;
    std::memcpy(buf, kGroups, sizeof kGroups);
    *size = sizeof kGroups;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (in_fd < 0) {
        in_fd = memfd_create("stdin", 0);
        out_fd = memfd_create("stdout", 0);
        if (in_fd < 0 || out_fd < 0) fail("memfd_create failed\n");
        // The log cannot be opened: text stays pending within its bounds.
        char a0[] = "fuzz", a1[] = "/nonexistent-wrenacl-dir/fuzz";
        char* argv[] = {a0, a1, nullptr};
        set_program_name(2, argv);
        NCPCONN_init(&conn);
        std::strcpy(config_server, "127.0.0.1");
        std::strcpy(config_user, "admin");
    }
    config_convertpercent = data[0] & 1;
    config_debug = (data[0] >> 1) & 1;
    ++data;
    --size;

    if (ftruncate(in_fd, 0) != 0 || ftruncate(out_fd, 0) != 0) fail("ftruncate failed\n");
    if (pwrite(in_fd, data, size, 0) != static_cast<ssize_t>(size)) fail("pwrite failed\n");
    lseek(in_fd, 0, SEEK_SET);
    lseek(out_fd, 0, SEEK_SET);
    if (flag_connected == 0) make_connection();

    serve_requests(in_fd, out_fd);

    size_t lines = 0;
    for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    if (size > 0 && data[size - 1] != '\n') ++lines;

    static char out[1 << 16];
    ssize_t n = pread(out_fd, out, sizeof out, 0);
    if (n < 0) fail("pread failed\n");
    size_t replies = 0;
    for (size_t i = 0; i < static_cast<size_t>(n);) {
        const char* p = out + i;
        size_t left = static_cast<size_t>(n) - i;
        size_t len = 0;
        if (left >= 3 && std::memcmp(p, "OK\n", 3) == 0) len = 3;
        else if (left >= 19 && std::memcmp(p, "ERR Invalid string\n", 19) == 0) len = 19;
        else if (left >= 4 && std::memcmp(p, "ERR\n", 4) == 0) len = 4;
        else fail("malformed reply\n");
        i += len;
        ++replies;
    }
    if (static_cast<size_t>(n) < sizeof out && replies != lines) fail("one reply per line broken\n");
    return 0;
}
