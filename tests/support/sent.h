// What a test directory server was sent: every NCP request, in order, as
// the server recorded it (in the test process with Options::record, or as a
// process with --record FILE).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testserver/world.h"

struct Sent {
    std::vector<ts::RequestSeen> requests;

    // The lines of a --record file.
    static Sent parse(const std::string& record);

    // Requests of one kind (of one verb, when verb is not 0).
    size_t count(ts::RequestKind kind, uint32_t verb = 0) const;
    size_t connections() const { return count(ts::RequestKind::Create); }
    // Logins completed: the change of connection state that ends each.
    size_t logins() const { return count(ts::RequestKind::StateChange); }
    // Round trips: every request is one.
    size_t round_trips() const { return requests.size(); }
    // Requests dropped or left unanswered: each cost the client a time-out or a lost connection.
    size_t unanswered() const;
    // One letter per request but continuations: c create, p ping, s state
    // change, r resolve, g read, L login, A authentication, v another verb.
    std::string letters() const;
};
