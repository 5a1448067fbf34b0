#include "server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

ServerProcess::ServerProcess(const std::string& directory, const std::vector<std::string>& options,
                             uint16_t port)
    : options_(options) {
    write_file(dir_.file("directory.txt"), directory);
    start(port);
}

void ServerProcess::start(uint16_t port) {
    port_ = 0;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> args = {TESTSERVER_BIN, "--directory", dir_.file("directory.txt"), "--port",
                                     std::to_string(port), "--log", dir_.file("server.log"),
                                     "--record", dir_.file("requests")};
    args.insert(args.end(), options_.begin(), options_.end());
    pid_ = fork();
    if (pid_ < 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    // The first line is the port; reading it also waits for the keys to be made.
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    port_ = static_cast<uint16_t>(std::atoi(line.c_str()));
}

int ServerProcess::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    const pid_t got = waitpid(pid_, &status, 0);
    pid_ = -1;
    if (got <= 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

void ServerProcess::kill_hard() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool ServerProcess::restart(const std::optional<std::vector<std::string>>& options) {
    kill_hard();
    earlier_deviations_ = deviations();
    std::remove(dir_.file("server.log").c_str());
    std::remove(dir_.file("requests").c_str());
    if (options) options_ = *options;
    const uint16_t port = port_;
    start(port);
    return port_ == port && port != 0;
}

std::string ServerProcess::log() const { return read_file(dir_.file("server.log")); }

std::vector<std::string> ServerProcess::lines(const std::string& prefix) const {
    std::vector<std::string> out;
    std::istringstream in(log());
    for (std::string l; std::getline(in, l);) {
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
}

std::vector<std::string> ServerProcess::deviations() const {
    std::vector<std::string> all = earlier_deviations_;
    for (std::string& l : lines("DEVIATION")) all.push_back(std::move(l));
    return all;
}

std::string acme_directory_head() {
    return
        "tree ACME_TREE\n"
        "server CN=WREN1.O=acme\n"
        "user CN=search.O=acme\n"
        "password Search-Pass1\n"
        "user CN=alice.OU=sales.O=acme\n"
        "password secret\n"
        "member CN=staff.OU=sales.O=acme\n"
        "member CN=all.O=acme\n";
}

std::string standard_directory(bool anyone_reads_groups) {
    std::string d = acme_directory_head() +
        "charset iso-8859-1\n"
        "user CN=Ann M\xFCller.OU=sales.O=acme\n"
        "member CN=all.O=acme\n";
    d += anyone_reads_groups ? "group-read anyone\n" : "group-read logged-in\n";
    return d;
}
