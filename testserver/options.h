// Command-line options of wrenacl-testserver.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ts {

// One byte flipped: at an offset (taken modulo the size; negative: from the
// end), xor x.
struct Flip {
    long at = 0;
    uint8_t x = 0;
};
void apply_flips(std::vector<uint8_t>& bytes, const std::vector<Flip>& flips);

// A change to every reply of one NDS verb, applied to the reply as built
// (completion code first): the connection closed instead of the answer, or
// the reply replaced, cut, flipped and extended, in that order.
struct ReplyEdit {
    bool drop = false;
    std::optional<std::vector<uint8_t>> replace;
    long cut = -1;                     // keep at most this many bytes
    std::vector<Flip> flips;
    std::vector<uint8_t> append;
};

// Hostile login completion replies (verb 58), each breaking one length or
// check value of the sealed key; the login itself is checked as usual.
enum class LoginFault {
    None,
    BadNonce,             // the outer envelope carries another nonce
    BadOuterCheck,        // the outer envelope's check value does not match
    OuterHeadKind,        // outer head field other than 0x00060001
    OuterLongerThanBlob,  // the outer enciphered length reaches past the blob
    OuterTooShort,        // outer enciphered length 8: no room for nonce, k and check
    KPastData,            // k reaches past the deciphered data
    KHuge,                // k = 0xFFFFFFF8
    InnerPastMasked,      // the inner envelope reaches past the k masked bytes
    InnerHeadTag,         // inner head field other than 1
    BodyPastInner,        // the key body length reaches past the inner envelope
    InnerNotOneTwo,       // the inner data does not start with 1 and 2
    KeyCheckWrong,        // the private key's check value does not match
    BlobPastReply,        // the blob length counts more bytes than are sent
    BlobHuge,             // blob length 0xFFFFFFFF
};
// The name used on the command line ("k-huge"), or nothing for an unknown one.
std::optional<LoginFault> login_fault_named(const std::string& name);

// Field values of the login completion reply: each one that is >= 0
// replaces what the server would send (for fuzzing). Index 0 is the outer
// envelope, 1 the inner one.
struct LoginEdit {
    long k = -1, blob_len = -1, body_len = -1, one = -1, two = -1;
    long tag[2] = {-1, -1}, kind[2] = {-1, -1}, cipher_len[2] = {-1, -1}, plain_len[2] = {-1, -1};
    std::vector<Flip> outer, inner;    // on the plain data before sealing
    std::vector<Flip> body;            // on the private key body before its check value is made
};

// Hostile iterations of a read that takes several batches.
enum class ReadFault {
    None,
    Repeat,   // every batch but the last hands out the same iteration handle
    Empty,    // the second batch holds no values, yet another handle
    Endless,  // batches of one value each, never the last
};
// The name used on the command line ("repeat"), or nothing for an unknown one.
std::optional<ReadFault> read_fault_named(const std::string& name);

// Changes to the users' "Public Key" values.
struct KeyEdit {
    uint16_t skip = 8;                 // the wrapping's skip count
    std::vector<Flip> body;            // on the key body before its check value is made
    std::vector<Flip> value;           // on the finished value
    size_t cut = 0;                    // bytes cut from the end of the value
};

struct Options {
    std::string directory;             // --directory FILE (or the one positional argument)
    std::string address = "127.0.0.1";
    int port = 0;                      // 0: a free port, printed on the first stdout line
    size_t fragment_size = 4076;       // reply bytes per fragment (8 + this fits 4084)
    std::string log;                   // --log FILE; stderr without it
    bool verbose = false;
    int user_key_bits = 512;
    bool q_above_p = false;
    long drop_after = -1;              // close a connection instead of answering request N+1
    long hang_after = -1;              // stop answering a connection after N requests (0: from the first)
    long reply_delay_ms = 0;           // --reply-delay MS: every reply held back this long
    long trickle_ms = 0;               // --trickle MS: replies sent one byte every MS milliseconds
    bool fault_once = false;           // the two faults above hit only the first connection that reaches N
    std::map<uint32_t, uint32_t> fail_verb;  // NDS verb -> completion code
    // --fail-resolve NAME:CODE: resolving NAME (as asked, letter case aside)
    // answers the NDS error CODE.
    std::vector<std::pair<std::u16string, uint32_t>> fail_resolve;
    long bad_ping_length = -1;         // >= 0: the name length that ping replies announce
    std::string tree_name;             // overrides the directory file's tree when set
    std::string dump_keys;             // --dump-keys FILE: the users' private key parts, for memory checks
    std::string record_file;           // --record FILE: one line per NCP request, "conn kind verb answered"

    // Faults for tests; the ones with a command-line flag are named there.
    std::map<uint32_t, ReplyEdit> edit_verb;  // --drop-verb V
    LoginFault login_fault = LoginFault::None;  // --login-fault NAME
    LoginEdit login_edit;
    KeyEdit user_key;
    bool refuse_state_change = false;  // --refuse-state-change
    // When set, every "Group Membership" read answers these values as they stand.
    std::optional<std::vector<std::vector<uint8_t>>> raw_groups;
    bool record = false;               // keep every NDS exchange and NCP request (World::exchanges, requests)
    size_t read_batch = 0;             // --read-batch N: at most N values per read reply (0: as many as fit)
    ReadFault read_fault = ReadFault::None;  // --read-fault NAME
};

inline constexpr int kMinUserKeyBits = 384;
inline constexpr int kMaxUserKeyBits = 4096;

// False with error set for an unknown option or a bad value.
bool parse_options(int argc, char** argv, Options& out, std::string& error);

const char* usage_text();

}  // namespace ts
