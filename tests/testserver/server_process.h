// Runs wrenacl-testserver as a child process for one test: writes the
// directory file, starts the server on a free port with a log file, and
// stops it with SIGTERM.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class ServerProcess {
public:
    // Starts the server with the directory text and extra options; port()
    // is 0 when it did not start.
    ServerProcess(const std::string& directory, const std::vector<std::string>& options = {});
    ~ServerProcess();

    uint16_t port() const { return port_; }
    // Sends SIGTERM and returns the exit status (-1 when it did not exit normally).
    int stop();
    // The whole log so far, and the lines that start with prefix.
    std::string log() const;
    std::vector<std::string> lines(const std::string& prefix) const;

private:
    std::string dir_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// A directory used by several tests: a search user, alice with two groups,
// a user with a blank and an ISO 8859-1 letter in its name, and the policy given.
std::string standard_directory(bool anyone_reads_groups);
