// Runs the helper (build/wrenacl) as a child process the way a proxy does:
// a configuration file in a temporary directory, the program name given as
// the first argument, request lines written to its standard input one at a
// time and replies read back from its standard output.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "temp_dir.h"

struct HelperOptions {
    // Started as "<dir>/<invoked_as>" without arguments instead of with the
    // arguments {"wrenacl", "<dir>/wrenacl"}.
    std::string invoked_as;
    // Standard input a file with this text instead of a pipe.
    std::optional<std::string> input;
    // The first argument in place of "<dir>/wrenacl" (with invoked_as empty).
    std::optional<std::string> argument;
};

class HelperProcess {
public:
    // Writes the configuration, if there is one, to <dir>/wrenacl.conf and
    // starts the binary; pid() is -1 when it could not be started.
    explicit HelperProcess(const std::optional<std::string>& config, const HelperOptions& options = {});
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The folder of its configuration, log and standard error.
    const TempDir& dir() const { return dir_; }

    // Writes line and a line feed; false when the helper no longer reads.
    bool send(const std::string& line);
    // The next reply line with its line feed, or nothing when none came
    // within timeout_s seconds or the output ended.
    std::optional<std::string> reply(int timeout_s = 60);
    // send() then reply(); "" when no reply came.
    std::string ask(const std::string& line, int timeout_s = 60);
    // ask() again every 50 ms until the reply is want (a server backing off
    // comes back) or timeout_s seconds passed; the last reply.
    std::string ask_until(const std::string& line, const std::string& want, int timeout_s = 30);
    // Ends the helper's input (what a proxy does at shutdown).
    void close_input();
    // Stops reading the helper's output (a proxy that went away).
    void close_output();
    // Waits up to timeout_s seconds for the exit; the exit status, or -1
    // when it did not exit normally in time (it is then killed).
    int wait(int timeout_s = 60);
    // Everything written on standard output after the replies already read
    // (read to the end of output; use after close_input()).
    std::string rest_of_output(int timeout_s = 60);

    // Descriptors the helper holds open now (entries of /proc/<pid>/fd).
    int open_descriptors() const;
    // The log file, raw, and as lines without CR LF and without time stamps.
    std::string log() const { return read_file(dir_.file("wrenacl.log")); }
    std::vector<std::string> log_lines() const;
    std::string standard_error() const { return read_file(dir_.file("stderr")); }

private:
    // Reads what the helper wrote into pending_; false at the end of the
    // output or at the deadline (monotonic milliseconds).
    bool read_more(long long deadline);

    TempDir dir_;
    pid_t pid_ = -1;
    int in_ = -1;   // our end of the helper's standard input
    int out_ = -1;  // our end of the helper's standard output
    std::string pending_;  // output read but not yet handed out
    bool exited_ = false;
    int status_ = -1;
};

// Splits a log into lines at CR LF and drops the "DD.MM.YYYY HH:MM:SS "
// stamp that starts each flush.
std::vector<std::string> log_lines_of(const std::string& log);
// Number of lines equal to text.
size_t count_lines(const std::vector<std::string>& lines, const std::string& text);
// The configuration for an anonymous helper on 127.0.0.1:port, plus extra lines.
std::string helper_config(uint16_t port, const std::string& extra = "");
