// The test directory server (the code of wrenacl-testserver) on a thread of
// the test process, serving a directory given as text, with its log kept in
// memory, recording what it is sent. One at a time per process: the log is
// the process's.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sent.h"
#include "testserver/server.h"
#include "testserver/world.h"

class DirectoryServer {
public:
    using Setup = std::function<void(ts::Options&)>;

    // Builds the world with the options that setup chooses (Options::record
    // set unless it clears it) and starts serving on a free loopback port;
    // ok() is false when that failed.
    explicit DirectoryServer(const std::string& directory, const Setup& setup = {});
    ~DirectoryServer() { server_.stop(); }
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    bool ok() const { return ok_; }
    uint16_t port() const { return server_.port(); }
    sockaddr_in address() const { return server_.address(); }

    // Changes the options between requests and forgets the recorded
    // exchanges and whether a --fault-once fault was used.
    void set(const Setup& change);
    // The NDS exchanges and the NCP requests since the last set().
    std::vector<ts::Exchange> exchanges();
    Sent sent();
    const ts::World& world() const { return world_; }  // the parts that never change
    const ts::UserKeys* user(const std::string& typed_dn) const;  // typed DN in UTF-8

    std::string log() const;
    std::vector<std::string> lines(const std::string& prefix) const;
    // The same, once at least n such lines are there (or after a few seconds).
    std::vector<std::string> wait_for_lines(const std::string& prefix, size_t n) const;
    std::vector<std::string> deviations() const { return lines("DEVIATION"); }

private:
    ts::World world_;
    ts::ThreadServer server_;
    bool ok_ = false;
};
