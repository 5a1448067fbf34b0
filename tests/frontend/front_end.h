// The front end pointed at the test directory server in this process: the
// settings put back before each test, the program name in a temporary
// directory, and the server started with the options a test chooses.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "directory_server.h"
#include "temp_dir.h"

// Points the program name at dir/name (what argv[1] would do).
void use_program_name(const std::string& name);

// alice is in staff; alice.sales.acme in three groups; "john doe" in staff;
// bob in none. The search user is admin.acme with the password "secret".
std::string front_end_directory(bool anyone_reads_groups = true);

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the server and points config_server and config_port at it.
    void serve(const DirectoryServer::Setup& setup = {}, bool anyone_reads_groups = true);
    // The same with a directory of the test's own.
    void serve_directory(const std::string& directory, const DirectoryServer::Setup& setup = {});
    void login_as(const char* user, const char* password);
    // The Server and Port settings, taken apart as readconfig does.
    void use_server(const std::string& list, int32_t port);
    // The helper's log, one entry per line, without time stamps.
    std::vector<std::string> log_lines() const;
    // The replies of the request loop to the input.
    static std::string replies(const std::string& input);
    // The same, again every 50 ms until they are "OK\n" (a server backing off
    // comes back) or 5 s passed; the last replies.
    static std::string replies_until_ok(const std::string& input);
    // A request line (or several), the replies, and what the server was
    // sent for them (see Sent::letters).
    struct Ask {
        std::string line;
        std::string reply;
        std::string sent;
    };
    // Asks each in turn, the record started afresh and the server's switches
    // changed by change (if given) before each.
    void expect_answers(const std::vector<Ask>& asks, const DirectoryServer::Setup& change = {});

    TempDir dir;
    std::unique_ptr<DirectoryServer> server;
};
