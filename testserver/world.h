// Everything the server knows for its whole run: the options, the directory
// with an entry ID for every object, and the RSA keys made at start.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testserver/directory.h"
#include "testserver/options.h"
#include "testserver/rsakey.h"

namespace ts {

enum class EntryKind { Server, User, Group };

struct Entry {
    uint32_t id = 0;
    EntryKind kind = EntryKind::Group;
    std::vector<DnPart> name;   // typed parts
    int user = -1;              // index into World::users for a user
};

struct UserKeys {
    const DirUser* def = nullptr;
    uint32_t id = 0;
    RsaKey key;
    std::vector<uint8_t> public_value;   // "Public Key" value
    std::vector<uint8_t> private_body;   // key-record body handed out by the login
    std::array<uint8_t, 4> salt{};       // per-user salt of the password hash
};

// One NDS exchange as the server saw it (with Options::record).
struct Exchange {
    uint32_t conn = 0;
    uint32_t verb = 0;
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;        // as sent, after any ReplyEdit
};

// One NCP request as the server saw it (with Options::record): every one is
// a round trip for the client.
enum class RequestKind : uint8_t {
    Create,        // the create-service-connection request
    Ping,          // NCP 104/1
    Verb,          // the first fragment of an NDS verb (NCP 104/2)
    Continuation,  // a further fragment of a verb, either way
    StateChange,   // NCP 23/29
    Other,
};
struct RequestSeen {
    uint32_t conn = 0;
    RequestKind kind = RequestKind::Other;
    uint32_t verb = 0;                 // with Verb and Continuation
    bool answered = false;             // false: dropped, or left unanswered (hang)
};

struct World {
    Options opt;
    Directory dir;
    std::vector<Entry> entries;
    RsaKey server_key;
    std::vector<uint8_t> server_public_value;
    std::vector<UserKeys> users;
    uint16_t next_conn = 0x0103;   // both bytes non-zero, so a client must use both
    bool fault_used = false;
    std::vector<Exchange> exchanges;
    std::vector<RequestSeen> requests;
};

// Server modulus size: the client's RSA block is 56 bytes with its top four
// bytes zero, so any modulus of more than 416 bits holds it, and the result
// still fits the 56 bytes.
inline constexpr int kServerKeyBits = 448;

// Numbers the entries and makes the keys. False with error set when key
// generation fails.
bool world_build(World& w, std::string& error);

// Parses the directory text, loads the ciphers and builds the world: what a
// test needs before it serves w in-process. False with error set.
bool world_from_text(World& w, std::string_view directory, std::string& error);

// The "Public Key" value of a user with Options::user_key applied.
std::vector<uint8_t> user_key_value(const World& w, const UserKeys& u);

const Entry* find_entry(const World& w, const std::vector<DnPart>& query);
const Entry* entry_by_id(const World& w, uint32_t id);
const Entry* server_entry(const World& w);
std::string entry_dn(const Entry& e);

}  // namespace ts
