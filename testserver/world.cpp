#include "testserver/world.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>

#include "testserver/keyblob.h"
#include "testserver/skenvelope.h"

namespace ts {
namespace {

void dump_hex(std::FILE* f, const char* dn, const char* tag, const uint8_t* p, size_t n) {
    std::fprintf(f, "%s\t%s\t", dn, tag);
    for (size_t i = 0; i < n; ++i) std::fprintf(f, "%02x", p[i]);
    std::fprintf(f, "\n");
}

// One line per secret of every user: DN, tag, little-endian hex, exactly
// as the login hands the numbers out (and the 4-byte salt of the password
// hash). Tests look for these bytes in a client's memory.
bool dump_keys(const World& w, std::string& error) {
    std::FILE* f = std::fopen(w.opt.dump_keys.c_str(), "w");
    if (f == nullptr) { error = "cannot write " + w.opt.dump_keys; return false; }
    for (const UserKeys& u : w.users) {
        const std::string dn = dn_text(u.def->name);
        const std::pair<const char*, const BIGNUM*> parts[] = {
            {"PN", u.key.p.get()}, {"QN", u.key.q.get()}, {"DP", u.key.dp.get()},
            {"DQ", u.key.dq.get()}, {"CR", u.key.cr.get()}};
        for (const auto& [tag, v] : parts) {
            const std::vector<uint8_t> bytes = bn_to_le(v);
            dump_hex(f, dn.c_str(), tag, bytes.data(), bytes.size());
        }
        dump_hex(f, dn.c_str(), "SALT", u.salt.data(), u.salt.size());
    }
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    if (std::fclose(f) != 0 || !ok) { error = "cannot write " + w.opt.dump_keys; return false; }
    return true;
}

}  // namespace

bool world_build(World& w, std::string& error) {
    // IDs with all four bytes non-zero and different, so that a client which
    // takes the wrong word of a reply or swaps bytes gets a wrong ID.
    uint32_t next_id = 0x1A2B3C01;
    w.entries.clear();
    w.users.clear();
    w.users.reserve(w.dir.users.size());

    if (!rsa_generate(kServerKeyBits, false, w.server_key)) { error = "server key generation failed"; return false; }
    w.server_public_value = public_key_value(w.server_key);
    w.entries.push_back(Entry{next_id++, EntryKind::Server, w.dir.server, -1});

    for (const DirUser& u : w.dir.users) {
        UserKeys k;
        k.def = &u;
        k.id = next_id++;
        if (!rsa_generate(w.opt.user_key_bits, w.opt.q_above_p, k.key)) {
            error = "user key generation failed";
            return false;
        }
        k.public_value = public_key_value(k.key);
        k.private_body = private_key_body(k.key);
        if (RAND_bytes(k.salt.data(), 4) != 1) { error = "no random bytes"; return false; }
        w.entries.push_back(Entry{k.id, EntryKind::User, u.name, static_cast<int>(w.users.size())});
        w.users.push_back(std::move(k));
    }
    for (const auto& g : w.dir.groups) w.entries.push_back(Entry{next_id++, EntryKind::Group, g, -1});
    if (!w.opt.dump_keys.empty() && !dump_keys(w, error)) return false;
    return true;
}

bool world_from_text(World& w, std::string_view directory, std::string& error) {
    if (!parse_directory(directory, w.dir, error)) return false;
    if (!crypto_init()) {
        error = "cannot load OpenSSL's legacy provider (RC2)";
        return false;
    }
    return world_build(w, error);
}

std::vector<uint8_t> user_key_value(const World& w, const UserKeys& u) {
    const KeyEdit& edit = w.opt.user_key;
    if (edit.skip == kPublicKeySkip && edit.body.empty() && edit.value.empty() && edit.cut == 0) {
        return u.public_value;
    }
    std::vector<uint8_t> body = public_key_body(u.key);
    body.erase(body.end() - static_cast<std::ptrdiff_t>(std::min(kCheckChunkSize, body.size())), body.end());
    apply_flips(body, edit.body);
    put_check_chunk(body);
    std::vector<uint8_t> value = public_key_value(body, edit.skip);
    apply_flips(value, edit.value);
    value.resize(value.size() - std::min(edit.cut, value.size()));
    return value;
}

const Entry* find_entry(const World& w, const std::vector<DnPart>& query) {
    for (const Entry& e : w.entries) {
        if (dn_matches(e.name, query)) return &e;
    }
    return nullptr;
}

const Entry* entry_by_id(const World& w, uint32_t id) {
    for (const Entry& e : w.entries) {
        if (e.id == id) return &e;
    }
    return nullptr;
}

const Entry* server_entry(const World& w) { return w.entries.empty() ? nullptr : &w.entries.front(); }

std::string entry_dn(const Entry& e) { return dn_text(e.name); }

}  // namespace ts
