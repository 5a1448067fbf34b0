// Feeds arbitrary bytes as the standard input of the request loop, which
// asks the test directory server running in this process over loopback TCP,
// and checks that every input line gets exactly one well-formed reply. The
// first byte picks the switches (bit 0: percent decoding, bit 1: debug log
// lines, bit 2: every user's groups are values of odd shapes: one without
// its zero unit, one of an odd length, one with a unit above 0xFF; bit 3:
// FailureReply BH).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/progname.h"
#include "frontend/requestloop.h"
#include "testserver/log.h"
#include "testserver/server.h"

namespace {

constexpr char kDirectory[] =
    "tree T\nserver CN=srv.O=acme\ngroup-read anyone\n"
    "user CN=alice\nmember CN=staff.O=acme\nmember CN=x.O=a\n"
    "user CN=alice.OU=sales.O=acme\nmember CN=staff\n"
    "user CN=bob\n";

const std::vector<std::vector<uint8_t>> kOddGroups = {
    {'C', 0, 'N', 0, '=', 0, 's', 0, 't', 0, 'a', 0, 'f', 0, 'f', 0},
    {'x', 0, '.', 0, 'O', 0, '=', 0, 'a'},
    {'s', 0, 't', 1, 'a', 0, 'f', 0, 'f', 0, 0, 0},
};

int in_fd = -1;
int out_fd = -1;

void fail(const char* why) {
    (void)!write(2, why, std::strlen(why));
    std::abort();
}

ts::ThreadServer& server() {
    static ts::World world;
    static ts::ThreadServer* s = [] {
        ts::log_capture(true);
        std::string error;
        auto* t = new ts::ThreadServer;
        if (!ts::world_from_text(world, kDirectory, error) || !t->start(world)) fail("test server failed\n");
        return t;
    }();
    return *s;
}

}  // namespace

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
        config_port = server().port();
    }
    const bool odd_groups = (data[0] >> 2) & 1;
    server().with([&](ts::World& w) {
        if (odd_groups) w.opt.raw_groups = kOddGroups;
        else w.opt.raw_groups.reset();
        ts::log_capture(true);  // keeps the kept log from growing
        return 0;
    });
    config_convertpercent = data[0] & 1;
    config_debug = (data[0] >> 1) & 1;
    config_failurereply = (data[0] >> 3) & 1 ? FAILURE_REPLY_BH : FAILURE_REPLY_ERR;
    ++data;
    --size;

    if (ftruncate(in_fd, 0) != 0 || ftruncate(out_fd, 0) != 0) fail("ftruncate failed\n");
    if (pwrite(in_fd, data, size, 0) != static_cast<ssize_t>(size)) fail("pwrite failed\n");
    lseek(in_fd, 0, SEEK_SET);
    lseek(out_fd, 0, SEEK_SET);
    if (conn.sock < 0) make_connection();

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
        else if (config_failurereply == FAILURE_REPLY_BH && left >= 13 && std::memcmp(p, "BH message=\"", 12) == 0) {
            const void* end = std::memchr(p + 12, '"', left - 12);
            if (end == nullptr) fail("malformed reply\n");
            len = static_cast<size_t>(static_cast<const char*>(end) - p) + 1;
            if (len >= left || p[len] != '\n') fail("malformed reply\n");
            ++len;
        }
        else fail("malformed reply\n");
        i += len;
        ++replies;
    }
    if (static_cast<size_t>(n) < sizeof out && replies != lines) fail("one reply per line broken\n");
    return 0;
}
