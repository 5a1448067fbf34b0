// Command-line options of wrenacl-testserver.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace ts {

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
    long hang_after = -1;              // stop answering a connection after N requests
    bool fault_once = false;           // the two faults above hit only the first connection that reaches N
    std::map<uint32_t, uint32_t> fail_verb;  // NDS verb -> completion code
    long bad_ping_length = -1;         // >= 0: the name length that ping replies announce
    std::string tree_name;             // overrides the directory file's tree when set
    std::string dump_keys;             // --dump-keys FILE: the users' private key parts, for memory checks
};

inline constexpr int kMinUserKeyBits = 384;
inline constexpr int kMaxUserKeyBits = 1264;

// False with error set for an unknown option or a bad value.
bool parse_options(int argc, char** argv, Options& out, std::string& error);

const char* usage_text();

}  // namespace ts
