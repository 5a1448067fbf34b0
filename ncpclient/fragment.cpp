// Fragmented NDS requests (NCP 104/2): the request goes out in fragments of
// at most 4096 bytes, and every reply fragment is fetched and appended to the
// reply buffer. Only bytes that really arrived are copied, and never more
// than the reply buffer holds. The whole verb, all its fragments, ends by
// one deadline; a failure names the verb, and a reply whose NDS completion
// code is not 0 is recorded as that verb's NDS error.
#include "ncpclient/ncpclient.h"
#include "runtime/bytes.h"
#include "runtime/clock.h"
#include "runtime/cursor.h"

namespace {

constexpr uint8_t kFunction = 104;
constexpr uint8_t kSubfunction = 2;
constexpr uint32_t kNoHandle = 0xFFFFFFFF;
constexpr uint32_t kMaxFragment = 4084;
constexpr size_t kFragmentArea = 4096;
// Fragments asked for once the request is out. Replies are at most tens of
// kilobytes; a server that keeps handing out handles beyond this is broken.
constexpr unsigned kMaxReplyFragments = 1024;

}  // namespace

int ncp_send_nds_frag(NcpConnection* conn, const NWDSBuf* request, NWDSBuf* reply) {
    if (conn == nullptr || request == nullptr || reply == nullptr) return 1;
    // A request that did not fit its buffer is never sent cut short.
    if (request->failed) return 1;
    size_t request_len = 0;
    const uint8_t* request_data = NWDSBufRetrieve(request, &request_len);
    rt::Reader source(std::span<const uint8_t>(request_data, request_len));
    const uint32_t reply_size = static_cast<uint32_t>(NWDSBufSize(reply));

    uint8_t frag[kFragmentArea];
    uint32_t handle = kNoHandle;
    unsigned after_request = 0;
    const int64_t start = rt::clock_ns();
    const int64_t deadline = ncp_exchange_deadline(conn, start);
    bool full_window = ncp_full_window(conn, start, deadline);
    for (;;) {
        rt::Writer w(frag);
        w.u8(kFunction);
        w.u8(kSubfunction);
        w.le32(handle);
        if (handle == kNoHandle) {
            w.le32(kMaxFragment);
            w.le32(static_cast<uint32_t>(source.left() + 12));
            w.le32(0);  // message flags
            w.le32(request->operation);
            w.le32(reply_size);
        }
        size_t room = sizeof frag - w.pos();
        size_t k = source.left() < room ? source.left() : room;
        std::span<const uint8_t> part = source.bytes(k);
        w.bytes(part.data(), part.size());
        if (!w.ok() || !source.ok()) return 1;

        size_t got = sizeof frag;
        const int status = ncp_tcp_exchange(conn, NCP_SERVICE_REQUEST, frag, w.pos(), frag, &got, deadline, full_window);
        conn->failure.verb = request->operation;
        if (status != 0) return 1;
        full_window = false;  // later fragments wait for what is left
        rt::Reader r(std::span<const uint8_t>(frag, got));
        uint32_t size = r.le32();
        handle = r.le32();
        if (!r.ok() || size < 4) return 1;
        // A fragment size beyond what arrived copies only what arrived.
        size_t announced = size - 4;
        NWDSBufAppendReply(reply, r.bytes(announced < r.left() ? announced : r.left()));

        if (handle == kNoHandle) break;
        if (source.left() == 0 && ++after_request > kMaxReplyFragments) return 1;
    }
    NWDSBufEndReply(reply);
    const uint8_t* code = NWDSBufPeekPtrLen(reply, 0, 4);
    if (code != nullptr && rt::load_le32(code) != 0) {
        conn->failure.kind = NCP_FAIL_NDS;
        conn->failure.code = static_cast<int32_t>(rt::load_le32(code));
    }
    return 0;
}
