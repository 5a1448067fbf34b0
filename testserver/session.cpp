#include "testserver/session.h"

#include "runtime/cursor.h"
#include "testserver/framing.h"
#include "testserver/log.h"
#include "testserver/nds.h"
#include "testserver/ndsio.h"

namespace ts {
namespace {

constexpr uint32_t kLastFragment = 0xFFFFFFFF;
constexpr uint32_t kMaxFragmentSize = 4084;
constexpr size_t kFirstFragmentData = 4070;
constexpr size_t kNextFragmentData = 4090;
constexpr uint8_t kNcpFailure = 0xFF;

struct Ctx {
    World& w;
    Session& s;
    const NcpRequest& rq;
};

Response reply(const Ctx& c, uint8_t completion, std::span<const uint8_t> data = {}) {
    return Response{Outcome::Reply, build_reply(c.rq.seq, c.s.conn, c.rq.task, completion, data)};
}

uint32_t new_handle(Session& s) {
    ++s.handle_counter;
    return 0x48000000u + (static_cast<uint32_t>(s.conn) << 8) + (s.handle_counter & 0xFF);
}

void reset_fragments(Session& s) {
    s.assembling = false;
    s.replying = false;
    s.request.clear();
    s.reply.clear();
    s.reply_off = 0;
}

// The next reply fragment: size word, handle, up to fragment_size bytes.
Response next_reply_fragment(const Ctx& c) {
    Session& s = c.s;
    const size_t left = s.reply.size() - s.reply_off;
    const size_t chunk = std::min(left, c.w.opt.fragment_size);
    const bool last = chunk == left;
    const uint32_t handle = last ? kLastFragment : new_handle(s);
    NdsOut out;
    out.u32(static_cast<uint32_t>(4 + chunk));
    out.u32(handle);
    out.bytes(std::span<const uint8_t>(s.reply).subspan(s.reply_off, chunk));
    s.reply_off += chunk;
    s.replying = !last;
    s.out_handle = handle;
    if (last) reset_fragments(s);
    return reply(c, 0, out.data());
}

// The reply with the verb's ReplyEdit applied; false when the connection is
// to be closed instead.
bool edit_reply(const World& w, uint32_t verb, std::vector<uint8_t>& reply) {
    const auto it = w.opt.edit_verb.find(verb);
    if (it == w.opt.edit_verb.end()) return true;
    const ReplyEdit& e = it->second;
    if (e.drop) return false;
    if (e.replace) reply = *e.replace;
    if (e.cut >= 0 && static_cast<size_t>(e.cut) < reply.size()) reply.resize(static_cast<size_t>(e.cut));
    apply_flips(reply, e.flips);
    reply.insert(reply.end(), e.append.begin(), e.append.end());
    return true;
}

Response run_verb(const Ctx& c) {
    Session& s = c.s;
    s.assembling = false;
    s.reply = nds_dispatch(c.w, s, s.verb, s.reply_size, s.request);
    const bool answer = edit_reply(c.w, s.verb, s.reply);
    if (c.w.opt.record) c.w.exchanges.push_back(Exchange{s.id, s.verb, s.request, answer ? s.reply : std::vector<uint8_t>{}});
    if (!answer) {
        log_line("DROP conn=%u verb=%u", s.id, s.verb);
        reset_fragments(s);
        return Response{Outcome::Close, {}};
    }
    s.request.clear();
    s.reply_off = 0;
    return next_reply_fragment(c);
}

// An intermediate answer while a request arrives in several fragments.
Response ask_for_more(const Ctx& c) {
    c.s.in_handle = new_handle(c.s);
    NdsOut out;
    out.u32(4);
    out.u32(c.s.in_handle);
    return reply(c, 0, out.data());
}

Response fragment(const Ctx& c) {
    Session& s = c.s;
    rt::Reader r(c.rq.data);
    r.skip(2);
    const uint32_t handle = r.le32();
    if (!r.ok()) {
        deviation(s.id, "fragment request of %zu bytes has no handle", c.rq.data.size());
        reset_fragments(s);
        return reply(c, kNcpFailure);
    }
    if (handle == kLastFragment) {
        if (s.assembling || s.replying) {
            deviation(s.id, "new fragmented request while handle 0x%08x is still open",
                      s.assembling ? s.in_handle : s.out_handle);
        }
        reset_fragments(s);
        const uint32_t max_size = r.le32();
        const uint32_t message = r.le32();
        const uint32_t flags = r.le32();
        s.verb = r.le32();
        s.reply_size = r.le32();
        if (!r.ok() || message < 12) {
            deviation(s.id, "first fragment too short or message size below 12");
            return reply(c, kNcpFailure);
        }
        if (max_size != kMaxFragmentSize) deviation(s.id, "maximum fragment size %u, not 4084", max_size);
        if (flags != 0) deviation(s.id, "message flags 0x%x, not 0", flags);
        s.message_len = message - 12;
        const std::span<const uint8_t> part = r.bytes(r.left());
        if (part.size() > s.message_len) {
            deviation(s.id, "first fragment carries %zu bytes, message size announces %u",
                      part.size(), s.message_len);
            return reply(c, kNcpFailure);
        }
        if (part.size() != std::min<size_t>(s.message_len, kFirstFragmentData)) {
            deviation(s.id, "first fragment carries %zu request bytes, expected %zu", part.size(),
                      std::min<size_t>(s.message_len, kFirstFragmentData));
        }
        s.request.assign(part.begin(), part.end());
        if (s.request.size() == s.message_len) return run_verb(c);
        s.assembling = true;
        return ask_for_more(c);
    }
    const std::span<const uint8_t> part = r.bytes(r.left());
    if (s.assembling && handle == s.in_handle) {
        const size_t left = s.message_len - s.request.size();
        if (part.size() > left) {
            deviation(s.id, "continuation fragment carries %zu bytes, only %zu left", part.size(), left);
            reset_fragments(s);
            return reply(c, kNcpFailure);
        }
        if (part.size() != std::min(left, kNextFragmentData)) {
            deviation(s.id, "continuation fragment carries %zu request bytes, expected %zu",
                      part.size(), std::min(left, kNextFragmentData));
        }
        s.request.insert(s.request.end(), part.begin(), part.end());
        if (s.request.size() == s.message_len) return run_verb(c);
        return ask_for_more(c);
    }
    if (s.replying && handle == s.out_handle) {
        if (!part.empty()) deviation(s.id, "continuation for reply data carries %zu request bytes", part.size());
        return next_reply_fragment(c);
    }
    deviation(s.id, "fragment handle 0x%08x was not handed out", handle);
    reset_fragments(s);
    return reply(c, kNcpFailure);
}

Response ping(const Ctx& c) {
    static constexpr uint8_t kPing[5] = {0x68, 0x01, 0x00, 0x00, 0x00};
    if (c.rq.data.size() != 5 || !std::equal(kPing, kPing + 5, c.rq.data.begin())) {
        deviation(c.s.id, "ping request is not 68 01 00 00 00 (%zu bytes)", c.rq.data.size());
    }
    const std::string& tree = c.w.opt.tree_name.empty() ? c.w.dir.tree : c.w.opt.tree_name;
    const long announced = c.w.opt.bad_ping_length;
    NdsOut out;
    out.u32(0x00000A0Bu);  // not examined by the client
    out.u32(announced >= 0 ? static_cast<uint32_t>(announced) : static_cast<uint32_t>(tree.size()));
    out.bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(tree.data()), tree.size()));
    return reply(c, 0, out.data());
}

Response change_state(const Ctx& c) {
    Session& s = c.s;
    const std::span<const uint8_t> d = c.rq.data;
    if (d.size() != 5 || d[1] != 0x00 || d[2] != 0x02 || d[3] != 0x1D) {
        deviation(s.id, "change-state request is not 17 00 02 1D <state> (%zu bytes)", d.size());
        return reply(c, kNcpFailure);
    }
    const uint8_t state = d[4];
    if (state != 1) {
        deviation(s.id, "connection state %u requested, only 1 is known", state);
        return reply(c, kNcpFailure);
    }
    if (c.w.opt.refuse_state_change) {
        log_line("STATE-REFUSED conn=%u", s.id);
        return reply(c, kNcpFailure);
    }
    if (!s.authenticated) {
        deviation(s.id, "connection state 1 requested without authentication");
        return reply(c, kNcpFailure);
    }
    s.logged_in = true;
    log_line("LOGGED-IN conn=%u user=%s", s.id,
             entry_dn(*entry_by_id(c.w, c.w.users[static_cast<size_t>(s.logged_user)].id)).c_str());
    return reply(c, 0);
}

Response create(const Ctx& c) {
    Session& s = c.s;
    if (c.rq.conn != 0xFFFF) deviation(s.id, "create request carries connection number 0x%04x, not 0xFFFF", c.rq.conn);
    if (c.rq.data.size() != 1 || c.rq.data[0] != 0) {
        deviation(s.id, "create request data is not the single byte 00 (%zu bytes)", c.rq.data.size());
    }
    uint16_t n = c.w.next_conn++;
    if (n == 0xFFFF || n == 0) n = c.w.next_conn = 0x0103;
    s.conn = n;
    s.id = n;
    s.created = true;
    // No reply data: the client reads none after a create request.
    return reply(c, 0);
}

bool fault_applies(World& w, Session& s, long limit) {
    if (limit < 0 || s.requests <= static_cast<uint32_t>(limit)) return false;
    if (w.opt.fault_once && w.fault_used && !s.hung) return false;
    w.fault_used = true;
    return true;
}

// What kind of request a packet is, for the record; *verb for the first
// fragment of a verb.
RequestKind kind_of(const NcpRequest& rq, uint32_t* verb) {
    if (rq.type == kCreateService) return RequestKind::Create;
    const uint8_t fn = rq.data.empty() ? 0 : rq.data[0];
    const uint8_t sub = rq.data.size() > 1 ? rq.data[1] : 0;
    if (fn == 0x68 && sub == 0x01) return RequestKind::Ping;
    if (fn == 0x17) return RequestKind::StateChange;
    if (fn != 0x68 || sub != 0x02) return RequestKind::Other;
    rt::Reader r(rq.data);
    r.skip(2);
    if (r.le32() != kLastFragment) return RequestKind::Continuation;
    r.skip(12);  // maximum fragment size, message size, flags
    *verb = r.le32();
    return RequestKind::Verb;
}

Response dispatch(World& w, Session& s, const NcpRequest& rq) {
    const Ctx c{w, s, rq};
    const uint8_t fn = rq.data.empty() ? 0 : rq.data[0];
    const uint8_t sub = rq.data.size() > 1 ? rq.data[1] : 0;
    if (w.opt.verbose) {
        log_line("REQUEST conn=%u seq=%u type=0x%04x function=%u subfunction=%u length=%zu", s.id, rq.seq,
                 rq.type, fn, sub, rq.data.size());
    }
    if (s.hung || fault_applies(w, s, w.opt.hang_after)) {
        s.hung = true;
        return Response{Outcome::Silent, {}};
    }
    if (fault_applies(w, s, w.opt.drop_after)) {
        log_line("DROP conn=%u after %u requests", s.id, s.requests - 1);
        return Response{Outcome::Close, {}};
    }

    if (rq.version != 1) deviation(s.id, "transport version %u, not 1", rq.version);
    if (rq.reply_size != 0) deviation(s.id, "reply buffer size %u in the transport head, not 0", rq.reply_size);
    if (rq.task != 1) deviation(s.id, "task number %u, not 1", rq.task);
    if (rq.seq != s.next_seq) deviation(s.id, "sequence number %u, expected %u", rq.seq, s.next_seq);
    s.next_seq = static_cast<uint8_t>(rq.seq + 1);

    if (rq.type == kCreateService) {
        if (s.created) {
            deviation(s.id, "second create request on one connection");
            return reply(c, kNcpFailure);
        }
        return create(c);
    }
    if (rq.type != kServiceRequest) {
        deviation(s.id, "request type 0x%04x, not 0x1111 or 0x2222", rq.type);
        return reply(c, kNcpFailure);
    }
    if (!s.created) {
        deviation(s.id, "service request before the create request");
        return reply(c, kNcpFailure);
    }
    if (rq.conn != s.conn) deviation(s.id, "connection number 0x%04x, assigned 0x%04x", rq.conn, s.conn);
    if (fn == 0x68 && sub == 0x01) return ping(c);
    if (fn == 0x68 && sub == 0x02) return fragment(c);
    if (fn == 0x17) return change_state(c);
    deviation(s.id, "unknown NCP function %u subfunction %u", fn, sub);
    return reply(c, kNcpFailure);
}

}  // namespace

Response handle_packet(World& w, Session& s, std::span<const uint8_t> packet) {
    NcpRequest rq;
    parse_request(packet, rq);
    ++s.requests;
    Response r = dispatch(w, s, rq);
    if (w.opt.record || !w.opt.record_file.empty()) {
        uint32_t verb = s.verb;
        const RequestKind kind = kind_of(rq, &verb);
        if (kind != RequestKind::Verb && kind != RequestKind::Continuation) verb = 0;
        const RequestSeen seen{s.id, kind, verb, r.what == Outcome::Reply};
        if (w.opt.record) w.requests.push_back(seen);
        record_line("%u %u %u %u", seen.conn, static_cast<unsigned>(seen.kind), seen.verb, seen.answered ? 1u : 0u);
    }
    return r;
}

}  // namespace ts
