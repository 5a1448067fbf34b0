// A directory that lives in memory, linked in place of the NCP client and the
// NDS login so that the connection manager, the group check and the whole
// front end can be exercised without a server.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

struct FakeUser {
    std::string name;
    uint32_t id;
    std::vector<std::u16string> groups;  // stored with a terminating zero unit
    bool read_fails = false;
    bool breaks_connection = false;  // resolving this user makes the next ping fail
};

struct FakeDirectory {
    std::vector<FakeUser> users;
    bool connect_fails = false;
    uint16_t refused_port = 0;  // connects to this port fail
    bool login_fails = false;
    std::string wrong_password;  // a login with this password fails
    bool auth_fails = false;
    bool state_fails = false;
    int failing_pings = 0;  // the next this many pings fail
    // When set, a read returns these bytes as they stand.
    bool raw_read = false;
    std::vector<uint8_t> raw_bytes;
    size_t raw_used = 0;

    // Observations.
    std::vector<std::string> calls;
    int overwritten_sockets = 0;  // connects over a record that still held a socket
    sockaddr_in last_address{};
    int last_timeout = 0;
    std::string last_user, last_password;
    int next_socket = 100;
    bool trace_stderr = false;
};

extern FakeDirectory fake;

void fake_reset();
// Stored names as the directory keeps them: 16-bit units with a zero unit.
std::u16string stored(const char* ascii);
// The group list of one read: count, then length and little-endian units.
std::vector<uint8_t> encode_groups(const std::vector<std::u16string>& groups);
