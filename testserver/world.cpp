#include "testserver/world.h"

#include <openssl/rand.h>

#include "testserver/keyblob.h"

namespace ts {

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
    return true;
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

std::string entry_dn(const Entry& e) { return dn_format(e.name); }

}  // namespace ts
