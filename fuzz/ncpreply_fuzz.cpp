// Server replies from the fuzz input, fed through a socketpair to the real
// transport, fragment layer, verbs and set-up.
//
// Input: op byte, a 16-bit parameter, then replies. Normally each reply is
// [16-bit length][completion code][data] and gets a well-formed NCP reply
// head; with the op's top bit set the rest goes to the socket raw.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ncpclient/ncpclient.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"

namespace {

constexpr size_t kMaxReplies = 64;

std::vector<uint8_t> build_stream(rt::Reader& in, bool raw) {
    std::vector<uint8_t> out;
    if (raw) {
        auto rest = in.bytes(in.left());
        return std::vector<uint8_t>(rest.begin(), rest.end());
    }
    for (size_t n = 0; n < kMaxReplies && in.left() >= 3; ++n) {
        uint16_t len = in.le16();
        uint8_t completion = in.u8();
        if (len > in.left()) len = static_cast<uint16_t>(in.left());
        auto data = in.bytes(len);
        uint8_t head[16] = {'t', 'N', 'c', 'P', 0, 0, 0, 0, 0x33, 0x33, 0, 0x05, 1, 0x01, completion, 0};
        rt::store_be32(head + 4, static_cast<uint32_t>(16 + data.size()));
        out.insert(out.end(), head, head + 16);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NcpConnection* conn = [] {
        auto* c = new NcpConnection;
        NCPCONN_init(c);
        return c;
    }();
    rt::Reader in(std::span<const uint8_t>(data, size));
    uint8_t op = in.u8();
    uint16_t param = in.le16();
    if (!in.ok()) return 0;
    std::vector<uint8_t> stream = build_stream(in, (op & 0x80) != 0);

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    int big = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    if (!stream.empty()) {
        ssize_t w = send(fds[1], stream.data(), stream.size(), MSG_NOSIGNAL);
        (void)w;
    }
    shutdown(fds[1], SHUT_WR);  // the client sees EOF once the replies run out
    timeval tv{1, 0};
    setsockopt(fds[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    conn->sock = fds[0];
    conn->connected = 1;

    switch (op & 0x7F) {
        case 0: {
            // A request of `param` bytes (up to two fragments) and a reply
            // buffer of an odd, exact size so that overruns show.
            std::vector<uint8_t> rq(param % 6000 + 4, 0x41);
            auto rp = std::make_unique<uint8_t[]>(param % 3000 + 1);
            NWDSBuf req, rep;
            NWDSBufSetup(&req, rq.data(), rq.size());
            NWDSBufSetup(&rep, rp.get(), param % 3000 + 1);
            NWDSBufInit(&req, 57);
            NWDSBufPutPtr(&req, param % 6000);
            if (ncp_send_nds_frag(conn, &req, &rep) == 0) {
                while (!rep.failed) NWDSBufGetNWUNI(&rep, nullptr, 0);
            }
            break;
        }
        case 1: {
            size_t size = param % 30000 + 1;
            auto buf = std::make_unique<uint8_t[]>(size);
            size_t used = size;
            if (ncp_NDS_READ(conn, 1, "Group Membership", nullptr, buf.get(), &used) == 0) {
                // Walk the list as the group check does.
                rt::Reader list(std::span<const uint8_t>(buf.get(), used));
                uint32_t count = list.le32();
                for (uint32_t i = 0; i < count && list.ok(); ++i) list.skip(list.le32());
                if (!list.ok() || used > size) __builtin_trap();
            }
            break;
        }
        case 2: {
            auto dest = std::make_unique<uint8_t[]>(768);
            uint32_t len = 0;
            ncp_NDS_READ1(conn, 1, "Public Key", nullptr, std::span<uint8_t>(dest.get(), 768), &len);
            break;
        }
        case 3:
            resolve(conn, "CN=admin.O=acme");
            break;
        case 4:
            NCPCONN_ndsping(conn);
            break;
        case 5:
            NCPCONN_getserverkey(conn);
            break;
        case 6: {
            size_t cap = param % 2048;
            auto buf = std::make_unique<uint8_t[]>(cap + 1);
            size_t len = cap;
            ncp_tcp_call(conn, NCP_SERVICE_REQUEST, buf.get(), 1, buf.get(), &len);
            if (len > cap) __builtin_trap();
            break;
        }
        default:
            break;
    }
    NCPCONN_disconnect(conn);
    close(fds[1]);
    return 0;
}
