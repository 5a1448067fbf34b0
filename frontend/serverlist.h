// The Server setting taken apart, once, when the configuration is read:
// comma-separated entries, each "host" or "host:port". An entry of four
// decimal numbers 0-255 is an IPv4 address, read in decimal (leading zeros
// too); any other host is a name to look up, except text of only digits and
// dots, which is never a name and never an address the C library might read
// another way.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t SERVER_ENTRIES_MAX = 64;  // further entries are left out
constexpr size_t HOST_NAME_LIMIT = 255;

enum ServerEntryKind {
    ENTRY_ADDRESS,  // address holds it
    ENTRY_NAME,     // host is to be looked up
    ENTRY_INVALID,  // no port, a bad port, an empty or over-long host, or not an address
};

struct ServerEntry {
    ServerEntryKind kind;
    uint16_t text_start;   // the entry as written: within the Server value
    uint16_t text_length;
    uint16_t port;         // host order: the entry's own, or the Port setting's low 16 bits
    bool has_port;
    in_addr address;       // ENTRY_ADDRESS
    char host[HOST_NAME_LIMIT + 1];  // ENTRY_ADDRESS and ENTRY_NAME
};

struct ServerList {
    ServerEntry entries[SERVER_ENTRIES_MAX];
    size_t count;
    size_t left_out;  // entries after the first SERVER_ENTRIES_MAX
};

// Takes text apart into out; entries without a port get port_setting's low
// 16 bits. An empty text is one invalid entry, as is an empty entry.
void parse_server_list(std::string_view text, int32_t port_setting, ServerList* out);

// The entry as written in text (the Server value it was parsed from).
std::string_view server_entry_text(std::string_view text, const ServerEntry& e);
