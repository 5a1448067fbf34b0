// Runs wrenacl-testserver as a child process for one test: writes the
// directory file, starts the server on a free port (or a given one) with a
// log file and a record of the requests it is sent, stops it with SIGTERM
// or SIGKILL and starts it again on its port.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sent.h"
#include "temp_dir.h"

class ServerProcess {
public:
    // Starts the server with the directory text and extra options on port
    // (0: any free port); port() is 0 when it did not start.
    ServerProcess(const std::string& directory, const std::vector<std::string>& options = {},
                  uint16_t port = 0);
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    uint16_t port() const { return port_; }
    // Sends SIGTERM and returns the exit status (-1 when it did not exit normally).
    int stop();
    // Kills the server with SIGKILL (no goodbye on its connections) and reaps it.
    void kill_hard();
    // Kills the server if it runs and starts it again on its port, with other
    // options when given; false when it does not listen there again. The log
    // and the record start afresh; deviations() keeps those seen before.
    bool restart(const std::optional<std::vector<std::string>>& options = std::nullopt);

    // The whole log so far, and the lines that start with prefix.
    std::string log() const;
    std::vector<std::string> lines(const std::string& prefix) const;
    // The "DEVIATION" lines: a run of a correct client leaves none.
    std::vector<std::string> deviations() const;
    // The NCP requests the server was sent since it started.
    Sent sent() const { return Sent::parse(read_file(dir_.file("requests"))); }

private:
    void start(uint16_t port);

    TempDir dir_;
    std::vector<std::string> options_;
    std::vector<std::string> earlier_deviations_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// The head of the directories the process tests serve: tree, server, the
// search user search.acme (password "Search-Pass1") and alice.sales.acme
// (password "secret", in staff.sales.acme and all.acme).
std::string acme_directory_head();
// A directory used by several tests: a search user, alice with two groups,
// a user with a blank and an ISO 8859-1 letter in its name, and the policy given.
std::string standard_directory(bool anyone_reads_groups);
