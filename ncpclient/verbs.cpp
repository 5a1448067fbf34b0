// The NDS verbs the helper uses (resolve name, read), the change of
// connection state and the NDS ping. A request that does not fit its buffer
// fails without being sent; a reply that is shorter than what a verb reads
// fails the verb.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "ncpclient/ncpclient.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"

namespace {

constexpr uint32_t kVerbResolveName = 1;
constexpr uint32_t kVerbRead = 3;
constexpr uint32_t kResolveFlags = 0x2062;
constexpr uint32_t kTransportTcp = 9;
constexpr uint32_t kFirstBatch = 0xFFFFFFFF;
constexpr uint32_t kInfoNamesAndValues = 1;

constexpr size_t kResolveRequestSize = 300;
constexpr size_t kResolveReplySize = 128;
constexpr size_t kRead1RequestSize = 256;
constexpr size_t kRead1ReplySize = 768;
constexpr size_t kPingReplySize = 64;

// The resolve request: 12 bytes of fields, the name, 16 bytes of fields.
constexpr size_t resolve_request_size(size_t units) { return 12 + 4 + rt::pad4(2 * (units + 1)) + 16; }
static_assert(resolve_request_size(RESOLVE_NAME_MAX_UNITS) <= kResolveRequestSize &&
                  resolve_request_size(RESOLVE_NAME_MAX_UNITS + 1) > kResolveRequestSize,
              "RESOLVE_NAME_MAX_UNITS is the longest name the resolve request holds");

// The read request of both read verbs, after NWDSBufInit(verb 3) has put
// the zero version word.
void put_read_request(NWDSBuf* req, uint32_t iteration, uint32_t entry_id, const char* attr) {
    NWDSBufPut32(req, iteration);
    NWDSBufPut32(req, entry_id);
    NWDSBufPut32(req, kInfoNamesAndValues);
    NWDSBufPut32(req, 0);  // only the listed attribute
    NWDSBufPut32(req, 1);  // one attribute name
    NWDSBufPutNWUNI(req, attr);
}

// Reads the common head of a read reply up to the value count. Returns
// false when the reply is short or not the answer for one attribute.
bool read_reply_head(NWDSBuf* rep, uint32_t* iteration, uint32_t* syntax, uint32_t* info_type, uint32_t* values) {
    if (!ncp_nds_completed(rep)) return false;
    *iteration = NWDSBufGet32(rep);
    *info_type = NWDSBufGet32(rep);
    uint32_t attributes = NWDSBufGet32(rep);
    uint32_t syn = NWDSBufGet32(rep);
    NWDSBufGetNWUNI(rep, nullptr, 0);  // attribute name
    *values = NWDSBufGet32(rep);
    if (rep->failed || attributes != 1) return false;
    if (syntax != nullptr) *syntax = syn;
    return true;
}

}  // namespace

bool ncp_nds_completed(NWDSBuf* reply) {
    uint32_t code = NWDSBufGet32(reply);
    return !reply->failed && code == 0;
}

int ncp_NDS_RESOLVE_NAME(NcpConnection* conn, std::span<const uint16_t> name, uint32_t* entry_id) {
    conn->failure = NcpFailure{};
    NdsExchange<kResolveRequestSize, kResolveReplySize> x(kVerbResolveName);
    NWDSBuf& req = x.req;
    NWDSBuf& rep = x.rep;
    NWDSBufPut32(&req, 0);  // version
    NWDSBufPut32(&req, kResolveFlags);
    NWDSBufPut32(&req, 0);
    NWDSBufPutNWUNI(&req, name);
    NWDSBufPut32(&req, 1);  // transport types
    NWDSBufPut32(&req, kTransportTcp);
    NWDSBufPut32(&req, 1);  // tree-walker transport types
    NWDSBufPut32(&req, kTransportTcp);
    if (req.failed) return 1;
    if (ncp_send_nds_frag(conn, &req, &rep) != 0) return 1;
    if (!ncp_nds_completed(&rep)) return 1;
    NWDSBufSkip(&rep, 4);
    uint32_t id = NWDSBufGet32(&rep);
    if (rep.failed) return 1;
    if (entry_id != nullptr) *entry_id = id;
    return 0;
}

int ncp_NDS_RESOLVE_NAME(NcpConnection* conn, const char* name, uint32_t* entry_id) {
    if (name == nullptr) return 1;
    // One unit more than the request holds, so that a longer name still
    // fails there, without being cut to fit.
    uint16_t units[RESOLVE_NAME_MAX_UNITS + 1];
    const size_t n = strnlen(name, std::size(units));
    for (size_t i = 0; i < n; ++i) units[i] = static_cast<uint8_t>(name[i]);
    return ncp_NDS_RESOLVE_NAME(conn, std::span<const uint16_t>(units, n), entry_id);
}

uint32_t resolve(NcpConnection* conn, std::span<const uint16_t> name) {
    uint32_t id = 0;
    if (ncp_NDS_RESOLVE_NAME(conn, name, &id) != 0) return 0xFFFFFFFF;
    return id;
}

uint32_t resolve(NcpConnection* conn, const char* name) {
    uint32_t id = 0;
    if (ncp_NDS_RESOLVE_NAME(conn, name, &id) != 0) return 0xFFFFFFFF;
    return id;
}

int ncp_NDS_READ1(NcpConnection* conn, uint32_t entry_id, const char* attr, uint32_t* syntax,
                  std::span<uint8_t> dest, uint32_t* len) {
    conn->failure = NcpFailure{};
    if (attr == nullptr || len == nullptr) return 1;
    NdsExchange<kRead1RequestSize, kRead1ReplySize> x(kVerbRead);
    NWDSBuf& req = x.req;
    NWDSBuf& rep = x.rep;
    put_read_request(&req, kFirstBatch, entry_id, attr);
    if (req.failed) return 1;
    if (ncp_send_nds_frag(conn, &req, &rep) != 0) return 1;
    uint32_t iteration = 0;
    uint32_t info_type = 0;
    uint32_t values = 0;
    if (!read_reply_head(&rep, &iteration, syntax, &info_type, &values)) return 1;
    if (info_type == 0 || values == 0) return 1;
    uint32_t value_len = NWDSBufGet32(&rep);
    if (rep.failed) return 1;
    // The value must lie wholly within the received reply and fit dest;
    // further values are ignored.
    if (value_len > dest.size() || NWDSBufGet(&rep, dest.data(), value_len) != 0) return 1;
    *len = value_len;
    return 0;
}

int ncp_NDS_READ(NcpConnection* conn, uint32_t entry_id, const char* attr, uint32_t* syntax,
                 uint8_t* buf, size_t* size, uint32_t* iteration) {
    conn->failure = NcpFailure{};
    if (attr == nullptr || buf == nullptr || size == nullptr) return -1;
    const size_t capacity = *size;
    // Request and reply share the caller's buffer: the request is copied out
    // before the first reply byte is stored.
    NWDSBuf req;
    NWDSBuf rep;
    NWDSBufSetup(&req, buf, capacity);
    NWDSBufSetup(&rep, buf, capacity);
    if (NWDSBufInit(&req, kVerbRead) != 0) return -1;
    put_read_request(&req, iteration != nullptr ? *iteration : kFirstBatch, entry_id, attr);
    if (req.failed) return -1;
    if (ncp_send_nds_frag(conn, &req, &rep) != 0) return -1;
    uint32_t next = 0;
    uint32_t info_type = 0;
    uint32_t values = 0;
    if (!read_reply_head(&rep, &next, syntax, &info_type, &values)) return -1;
    if (info_type != kInfoNamesAndValues) return -1;
    if (iteration != nullptr) *iteration = next;

    // The packed list overwrites the reply in place. It is written behind
    // the read position (the reply head alone is longer than the count
    // word, and each value moves the reply on at least as far as the list),
    // so copies run as memory moves.
    rt::Writer list(std::span<uint8_t>(buf, capacity));
    uint8_t* count_word = list.reserve(4);
    if (count_word == nullptr) return -1;
    rt::store_le32(count_word, 0);
    uint32_t stored = 0;
    for (; values > 0; --values) {
        uint32_t value_len = NWDSBufGet32(&rep);
        if (rep.failed) return -1;
        if (list.pos() + 4 + static_cast<size_t>(value_len) > capacity) break;  // list full
        const uint8_t* value = NWDSBufGetPtr(&rep, value_len);
        if (value == nullptr) return -1;  // value runs past the received reply
        uint8_t* out = list.reserve(4 + static_cast<size_t>(value_len));
        if (out == nullptr) return -1;
        rt::store_le32(out, value_len);
        if (value_len != 0) std::memmove(out + 4, value, value_len);
        rt::store_le32(count_word, ++stored);
    }
    *size = list.pos();
    return 0;
}

int ncp_change_connection_state(NcpConnection* conn, int state) {
    const uint8_t request[5] = {0x17, 0x00, 0x02, 0x1D, static_cast<uint8_t>(state & 0xFF)};
    return ncp_tcp_call(conn, NCP_SERVICE_REQUEST, request, sizeof request, nullptr, nullptr) != 0 ? 1 : 0;
}

int ncp_nds_ping(NcpConnection* conn, std::span<uint8_t> area, size_t* got) {
    static constexpr uint8_t kPing[5] = {0x68, 0x01, 0x00, 0x00, 0x00};
    *got = area.size();
    return ncp_tcp_call(conn, NCP_SERVICE_REQUEST, kPing, sizeof kPing, area.data(), got);
}

int NCPCONN_ndsping(NcpConnection* conn) {
    uint8_t reply[kPingReplySize];
    size_t got = 0;
    if (ncp_nds_ping(conn, reply, &got) != 0) return 1;
    rt::Reader r(std::span<const uint8_t>(reply, got));
    r.skip(4);
    uint32_t name_len = r.le32();
    if (!r.ok()) return 1;
    return name_len >= 1 && name_len <= kPingReplySize ? 0 : 1;
}

void ncp_read_begin(NdsBatchedRead* read, uint32_t entry_id, const char* attr) {
    read->entry_id = entry_id;
    read->attr = attr;
    read->next = NDS_NO_ITERATION;
    read->batches = 0;
    read->complete = false;
}

int ncp_read_next(NcpConnection* conn, NdsBatchedRead* read, uint8_t* buf, size_t* size) {
    const auto fault = [&](NdsBatchFault f) {
        conn->failure = NcpFailure{NCP_FAIL_BATCHES, NCP_SERVICE_REQUEST, 104, kVerbRead, f};
        return -1;
    };
    if (read->complete) return -1;
    if (read->batches == NDS_READ_MAX_BATCHES) return fault(NDS_BATCH_TOO_MANY);
    uint32_t handle = read->next;
    if (ncp_NDS_READ(conn, read->entry_id, read->attr, nullptr, buf, size, &handle) != 0) return -1;
    read->complete = handle == NDS_NO_ITERATION;
    if (read->complete) return 0;
    const std::span<const uint32_t> earlier(read->handles, read->batches);
    if (std::find(earlier.begin(), earlier.end(), handle) != earlier.end()) return fault(NDS_BATCH_REPEATED);
    if (*size < 4 || rt::load_le32(buf) == 0) return fault(NDS_BATCH_EMPTY);
    read->handles[read->batches++] = handle;
    read->next = handle;
    return 0;
}
