#include "testserver/framing.h"

#include <cstring>

#include "runtime/cursor.h"

namespace ts {

Frame frame_request(std::span<const uint8_t> buf, size_t& len, std::string& why) {
    rt::Reader r(buf);
    const std::span<const uint8_t> sig = r.bytes(4);
    if (!r.ok()) return Frame::Need;
    if (std::memcmp(sig.data(), "DmdT", 4) != 0) {
        why = "signature is not \"DmdT\"";
        return Frame::Bad;
    }
    const uint32_t length = r.be32();
    if (!r.ok()) return Frame::Need;
    if (length < kRequestHead || length > kRequestHead + kMaxRequestData) {
        why = "packet length " + std::to_string(length) + " outside 22.." +
              std::to_string(kRequestHead + kMaxRequestData);
        return Frame::Bad;
    }
    if (buf.size() < length) return Frame::Need;
    len = length;
    return Frame::Ready;
}

bool parse_request(std::span<const uint8_t> packet, NcpRequest& out) {
    rt::Reader r(packet);
    r.skip(8);  // signature and length, checked by frame_request
    out.version = r.be32();
    out.reply_size = r.be32();
    out.type = r.be16();
    out.seq = r.u8();
    const uint8_t lo = r.u8();
    out.task = r.u8();
    const uint8_t hi = r.u8();
    out.conn = static_cast<uint16_t>((hi << 8) | lo);
    out.data = r.bytes(r.left());
    return r.ok();
}

std::vector<uint8_t> build_reply(uint8_t seq, uint16_t conn, uint8_t task, uint8_t completion,
                                 std::span<const uint8_t> data) {
    std::vector<uint8_t> out(16 + data.size());
    rt::Writer w(out);
    w.bytes("tNcP", 4);
    w.be32(static_cast<uint32_t>(out.size()));
    w.be16(kServiceReply);
    w.u8(seq);
    w.u8(static_cast<uint8_t>(conn & 0xFF));
    w.u8(task);
    w.u8(static_cast<uint8_t>(conn >> 8));
    w.u8(completion);
    w.u8(0);
    w.bytes(data.data(), data.size());
    return out;
}

}  // namespace ts
