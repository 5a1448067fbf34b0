// Feeds arbitrary bytes as the standard input of the request loop, which
// asks the test directory server running in this process over loopback TCP,
// and checks that every input line gets exactly one well-formed reply, with
// the line's channel ID first when Concurrency is on (and a plain "ERR" for
// a line without one). The first byte picks the switches (bit 0: percent
// decoding, bit 1: debug log lines, bit 2: every user's groups are values of
// odd shapes: one without its zero unit, one of an odd length, one with a
// unit above 0xFF; bit 3: FailureReply BH; bit 4: Concurrency; bits 5 and 6:
// Charset ISO-8859-1, UTF-8, auto, auto; bit 7: StripRealm, StripDomain,
// IgnoreCase and the contexts "acme,sales.acme").
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/cache.h"
#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/context.h"
#include "frontend/progname.h"
#include "frontend/request.h"
#include "frontend/requestloop.h"
#include "testserver/log.h"
#include "testserver/server.h"

namespace {

constexpr char kDirectory[] =
    "tree T\nserver CN=srv.O=acme\ngroup-read anyone\n"
    "user CN=alice\nmember CN=staff.O=acme\nmember CN=x.O=a\n"
    "user CN=alice.OU=sales.O=acme\nmember CN=staff\n"
    "user CN=bob.O=acme\nmember CN=Дежурные.O=acme\n"
    "user CN=jürgen.O=acme\nmember CN=Überwachung.O=acme\n"
    "user CN=dave.O=acme\nmember-on-group CN=staff.O=acme\n";

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
        parse_server_list(config_server, config_port, &config_servers);
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
    config_concurrency = (data[0] >> 4) & 1;
    const Charset charsets[] = {CHARSET_ISO8859_1, CHARSET_UTF8, CHARSET_AUTO, CHARSET_AUTO};
    config_charset = charsets[(data[0] >> 5) & 3];
    const int32_t sso = (data[0] >> 7) & 1;
    config_striprealm = config_stripdomain = config_ignorecase = sso;
    if (context_list_parse(sso ? "acme,sales.acme" : "", config_charset, &config_contexts) != CONTEXT_OK)
        fail("context list\n");
    // The input's length picks where membership is looked up, when to ping
    // and whether answers are kept (kept ones may come from earlier inputs).
    const Membership where[] = {MEMBERSHIP_USER, MEMBERSHIP_GROUP, MEMBERSHIP_EITHER};
    config_membership = where[size % 3];
    config_pingafter = (size / 3) % 2 != 0 ? PING_AFTER_FAILURE : PING_AFTER_NEGATIVE;
    const bool keep = (size / 6) % 2 != 0;
    if (keep != cache_on()) cache_setup(keep ? 60 : 0);
    ++data;
    --size;

    if (ftruncate(in_fd, 0) != 0 || ftruncate(out_fd, 0) != 0) fail("ftruncate failed\n");
    if (pwrite(in_fd, data, size, 0) != static_cast<ssize_t>(size)) fail("pwrite failed\n");
    lseek(in_fd, 0, SEEK_SET);
    lseek(out_fd, 0, SEEK_SET);
    if (conn.sock < 0) make_connection();

    serve_requests(in_fd, out_fd);

    // The input's lines, as the request loop reads them: a last line without
    // LF counts.
    static std::vector<std::string_view> lines;
    lines.clear();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start < input.size();) {
        const size_t nl = input.find('\n', start);
        const size_t end = nl == std::string_view::npos ? input.size() : nl;
        lines.push_back(input.substr(start, end - start));
        start = end + 1;
    }

    static char out[1 << 16];
    ssize_t n = pread(out_fd, out, sizeof out, 0);
    if (n < 0) fail("pread failed\n");
    size_t replies = 0;
    for (size_t i = 0; i < static_cast<size_t>(n);) {
        const char* p = out + i;
        size_t left = static_cast<size_t>(n) - i;
        // The channel ID the line began with (digits, then a blank, a zero
        // byte or the end), kept whole within the 511 bytes read of a line.
        std::string_view channel;
        if (config_concurrency && replies < lines.size()) {
            const std::string_view line = lines[replies];
            size_t k = 0;
            while (k < line.size() && line[k] >= '0' && line[k] <= '9') ++k;
            const bool whole = line.size() < REQUEST_SIZE || k < REQUEST_SIZE - 1;
            if (k > 0 && whole && (k == line.size() || line[k] == ' ' || line[k] == '\0')) channel = line.substr(0, k);
        }
        if (!channel.empty()) {
            if (left <= channel.size() || std::memcmp(p, channel.data(), channel.size()) != 0 || p[channel.size()] != ' ')
                fail("reply without the line's channel ID\n");
            p += channel.size() + 1;
            left -= channel.size() + 1;
            i += channel.size() + 1;
        } else if (config_concurrency && (left < 4 || std::memcmp(p, "ERR\n", 4) != 0)) {
            fail("a line without a channel ID not answered a plain ERR\n");
        }
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
    if (static_cast<size_t>(n) < sizeof out && replies != lines.size()) fail("one reply per line broken\n");
    return 0;
}
