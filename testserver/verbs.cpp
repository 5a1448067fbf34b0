// The directory verbs: resolve name (1), read (3), the server's own name
// (53), and the dispatcher that routes every verb.
#include <algorithm>

#include "runtime/bytes.h"
#include "testserver/log.h"
#include "testserver/names.h"
#include "testserver/nds.h"
#include "testserver/ndsio.h"

namespace ts {
namespace {

constexpr uint32_t kSyntaxDistinguishedName = 1;
constexpr uint32_t kSyntaxOctetString = 9;

std::vector<uint8_t> malformed(Session& s, const char* verb, const std::string& why) {
    deviation(s.id, "%s: %s", verb, why.c_str());
    return nds_error(kInvalidRequest);
}

// The reply buffer size each verb's client sends with its first fragment.
bool reply_size_expected(uint32_t verb, uint32_t size) {
    switch (verb) {
        case 1: return size == 128;
        case 3: return size == 768 || size == 30000;
        case 53: case 57: case 58: case 59: case 60: return size == 1024;
        default: return true;
    }
}

}  // namespace

std::vector<uint8_t> nds_error(uint32_t code) {
    NdsOut out;
    out.u32(code);
    return out.data();
}

std::vector<uint8_t> nds_dispatch(World& w, Session& s, uint32_t verb, uint32_t reply_size,
                                  std::span<const uint8_t> request) {
    if (w.opt.verbose) log_line("VERB conn=%u verb=%u length=%zu reply-size=%u", s.id, verb, request.size(), reply_size);
    if (!reply_size_expected(verb, reply_size)) deviation(s.id, "verb %u: reply buffer size %u", verb, reply_size);
    const auto forced = w.opt.fail_verb.find(verb);
    if (forced != w.opt.fail_verb.end()) return nds_error(forced->second);

    std::vector<uint8_t> reply;
    switch (verb) {
        case 1: reply = verb_resolve(w, s, request); break;
        case 3: return verb_read(w, s, reply_size, request);  // fits its reply to the buffer itself
        case 53: reply = verb_server_name(w, s, request); break;
        case 57: reply = verb_login_begin(w, s, request); break;
        case 58: reply = verb_login_finish(w, s, request); break;
        case 59: reply = verb_auth_begin(w, s, request); break;
        case 60: reply = verb_auth_finish(w, s, request); break;
        default:
            deviation(s.id, "unknown NDS verb %u", verb);
            return nds_error(kInvalidRequest);
    }
    if (reply.size() > reply_size) {
        log_line("TOO-BIG conn=%u verb=%u reply=%zu buffer=%u", s.id, verb, reply.size(), reply_size);
        return nds_error(kInsufficientBuffer);
    }
    return reply;
}

std::vector<uint8_t> verb_resolve(World& w, Session& s, std::span<const uint8_t> req) {
    NdsIn in(req);
    const uint32_t version = in.u32();
    const uint32_t flags = in.u32();
    const uint32_t zero = in.u32();
    if (!in.ok()) return malformed(s, "resolve", "request shorter than its fixed fields");
    std::u16string name;
    std::string why;
    if (!in.nwuni(name, why)) return malformed(s, "resolve name", why);
    const uint32_t t1 = in.u32(), t2 = in.u32(), t3 = in.u32(), t4 = in.u32();
    if (!in.ok()) return malformed(s, "resolve", "transport fields missing");
    if (version != 0) deviation(s.id, "resolve: version %u, not 0", version);
    if (flags != 0x2062) deviation(s.id, "resolve: flags 0x%x, not 0x2062", flags);
    if (zero != 0) deviation(s.id, "resolve: third word %u, not 0", zero);
    if (t1 != 1 || t2 != 9 || t3 != 1 || t4 != 9) {
        deviation(s.id, "resolve: transport fields %u %u %u %u, not 1 9 1 9", t1, t2, t3, t4);
    }
    if (in.left() != 0) deviation(s.id, "resolve: %zu bytes after the last field", in.left());

    for (const auto& [failing, code] : w.opt.fail_resolve) {
        if (names_iequal(name, failing)) return nds_error(code);
    }
    std::vector<DnPart> parts;
    const Entry* e = nullptr;
    if (parse_dn(name, parts)) e = find_entry(w, parts);
    if (e == nullptr) {
        log_line("UNKNOWN conn=%u name=%s", s.id, units_to_utf8(name).c_str());
        return nds_error(kNoSuchEntry);
    }
    NdsOut out;
    out.u32(0);
    out.u32(1);       // kind of answer: the entry is held here
    out.u32(e->id);
    out.u32(0);       // referral count
    return out.data();
}

std::vector<uint8_t> verb_server_name(World& w, Session& s, std::span<const uint8_t> req) {
    if (!req.empty()) deviation(s.id, "server name: request has %zu bytes, not 0", req.size());
    NdsOut out;
    out.u32(0);
    out.nwuni(dn_format(w.dir.server));
    return out.data();
}

namespace {

// The values of an attribute, or an NDS error in *error.
std::vector<std::vector<uint8_t>> attribute_values(const World& w, Session& s, const Entry& e, const std::string& name,
                                                   uint32_t* syntax, const char** canonical, uint32_t* error) {
    std::vector<std::vector<uint8_t>> values;
    const bool membership = latin1_iequal(name, "Group Membership");
    if (membership || latin1_iequal(name, "Member")) {
        if (!s.logged_in && !w.dir.anyone_reads_groups) {
            log_line("NO-ACCESS conn=%u read %s of %s", s.id, membership ? "Group Membership" : "Member",
                     entry_dn(e).c_str());
            *error = kNoAccess;
            return values;
        }
        *canonical = membership ? "Group Membership" : "Member";
        *syntax = kSyntaxDistinguishedName;
        if (membership && w.opt.raw_groups) return *w.opt.raw_groups;
        if (membership && e.kind == EntryKind::User) {
            for (const auto& g : w.users[static_cast<size_t>(e.user)].def->groups) values.push_back(nwuni_bytes(dn_format(g)));
        }
        if (!membership && e.kind == EntryKind::Group) {
            for (const UserKeys& u : w.users) {
                for (const auto& g : u.def->listed_in) {
                    if (dn_matches(e.name, g)) values.push_back(nwuni_bytes(dn_format(u.def->name)));
                }
            }
        }
        // A group without members has no "Member" at all.
        if (!membership && values.empty()) *error = kNoSuchAttribute;
        return values;
    }
    if (latin1_iequal(name, "Public Key")) {
        *canonical = "Public Key";
        *syntax = kSyntaxOctetString;
        if (e.kind == EntryKind::Server) values.push_back(w.server_public_value);
        else if (e.kind == EntryKind::User) values.push_back(user_key_value(w, w.users[static_cast<size_t>(e.user)]));
        else *error = kNoSuchAttribute;
        return values;
    }
    *error = kNoSuchAttribute;
    return values;
}

uint32_t new_read_handle(Session& s) {
    ++s.read_batches;
    return 0x52000000u + (s.read_batches & 0xFFFFFF);
}

}  // namespace

std::vector<uint8_t> verb_read(World& w, Session& s, uint32_t reply_size, std::span<const uint8_t> req) {
    NdsIn in(req);
    const uint32_t version = in.u32();
    const uint32_t iteration = in.u32();
    const uint32_t id = in.u32();
    const uint32_t info = in.u32();
    const uint32_t all = in.u32();
    const uint32_t count = in.u32();
    if (!in.ok()) return malformed(s, "read", "request shorter than its fixed fields");
    std::u16string attr;
    std::string why;
    if (!in.nwuni(attr, why)) return malformed(s, "read attribute name", why);
    if (version != 0) deviation(s.id, "read: version %u, not 0", version);
    if (info != 1) deviation(s.id, "read: information type %u, not 1", info);
    if (all != 0) deviation(s.id, "read: all-attributes %u, not 0", all);
    if (count != 1) deviation(s.id, "read: attribute count %u, not 1", count);
    if (in.left() != 0) deviation(s.id, "read: %zu bytes after the attribute name", in.left());

    // A further batch: the handle the last batch handed out, for the same
    // entry and attribute. A new read (0xFFFFFFFF) drops an open iteration.
    size_t first = 0;
    if (iteration != 0xFFFFFFFF) {
        if (s.read_handle == 0 || iteration != s.read_handle || id != s.read_entry || attr != s.read_attr) {
            deviation(s.id, "read: iteration handle 0x%x was not handed out for this read", iteration);
            return nds_error(kInvalidRequest);
        }
        first = s.read_next;
    } else {
        s.read_batches = 0;
    }
    s.read_handle = 0;

    const Entry* e = entry_by_id(w, id);
    if (e == nullptr) return nds_error(kNoSuchEntry);
    std::string name;
    units_to_latin1(attr, name);
    uint32_t syntax = 0;
    const char* canonical = nullptr;
    uint32_t error = 0;
    const std::vector<std::vector<uint8_t>> values = attribute_values(w, s, *e, name, &syntax, &canonical, &error);
    if (error != 0) return nds_error(error);

    NdsOut out;
    out.u32(0);
    const size_t handle_at = out.data().size();
    out.u32(0xFFFFFFFF);
    out.u32(1);
    out.u32(1);
    out.u32(syntax);
    out.nwuni(latin1_to_units(canonical));
    const size_t count_at = out.data().size();
    out.u32(0);
    // As many whole values as the client's buffer takes (at most read_batch);
    // the iteration handle then says where the next batch begins.
    const ReadFault fault = w.opt.read_fault;
    size_t limit = w.opt.read_batch != 0 ? w.opt.read_batch : values.size();
    if (fault == ReadFault::Endless) limit = 1;
    if (fault == ReadFault::Empty && iteration != 0xFFFFFFFF) limit = 0;
    uint32_t sent = 0;
    size_t next = first;
    for (; sent < limit && !values.empty() && (next < values.size() || fault == ReadFault::Endless); ++next) {
        const std::vector<uint8_t>& v = values[next % values.size()];
        if (out.data().size() + 4 + rt::pad4(v.size()) > reply_size) break;
        out.counted(v);
        ++sent;
    }
    const bool more = next < values.size() || fault == ReadFault::Endless ||
                      (fault == ReadFault::Empty && iteration != 0xFFFFFFFF);
    if (more) {
        s.read_handle = fault == ReadFault::Repeat ? 0x0BADBAD0u : new_read_handle(s);
        s.read_entry = id;
        s.read_attr = attr;
        s.read_next = next;
        if (iteration == 0xFFFFFFFF) {
            log_line("PARTIAL conn=%u read %u of %zu values into %u bytes", s.id, sent, values.size(), reply_size);
        }
        rt::store_le32(out.data().data() + handle_at, s.read_handle);
    }
    rt::store_le32(out.data().data() + count_at, sent);
    if (out.data().size() > reply_size) return nds_error(kInsufficientBuffer);
    return out.data();
}

}  // namespace ts
