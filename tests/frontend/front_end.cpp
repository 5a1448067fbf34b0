#include "tests/frontend/front_end.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/log.h"
#include "frontend/progname.h"
#include "frontend/requestloop.h"
#include "frontend/servers.h"
#include "helper_process.h"

void use_program_name(const std::string& name) {
    std::string a0 = "wrenacl";
    char* argv[] = {a0.data(), const_cast<char*>(name.c_str()), nullptr};
    set_program_name(2, argv);
}

std::string front_end_directory(bool anyone_reads_groups) {
    return std::string("tree ACME\nserver CN=srv.O=acme\n") +
           (anyone_reads_groups ? "group-read anyone\n" : "") +
           "user CN=admin.O=acme\npassword secret\n"
           "user CN=alice\nmember CN=staff\n"
           "user CN=alice.OU=sales.O=acme\n"
           "member CN=admins.O=acme\nmember CN=staff.O=acme\nmember CN=never.O=acme\n"
           "user CN=john doe\nmember CN=staff\n"
           "user CN=bob\n";
}

void FrontEnd::SetUp() {
    config_reset();
    servers_reset();
    llen = 0;
    flag_connected = 0;
    NCPCONN_init(&conn);
    use_program_name(dir.file("helper"));
}

void FrontEnd::TearDown() {
    if (conn.sock >= 0) NCPCONN_disconnect(&conn);
    config_reset();
    servers_reset();
    flag_connected = 0;
    if (server) {
        EXPECT_EQ(server->deviations(), std::vector<std::string>{});
    }
}

void FrontEnd::serve(const DirectoryServer::Setup& setup, bool anyone_reads_groups) {
    serve_directory(front_end_directory(anyone_reads_groups), setup);
}

void FrontEnd::serve_directory(const std::string& directory, const DirectoryServer::Setup& setup) {
    server.reset();
    server = std::make_unique<DirectoryServer>(directory, setup);
    ASSERT_TRUE(server->ok());
    use_server("127.0.0.1", server->port());
}

void FrontEnd::use_server(const std::string& list, int32_t port) {
    std::snprintf(config_server, sizeof config_server, "%s", list.c_str());
    config_port = port;
    parse_server_list(config_server, config_port, &config_servers);
}

void FrontEnd::login_as(const char* user, const char* password) {
    std::snprintf(config_user, sizeof config_user, "%s", user);
    std::snprintf(config_password, sizeof config_password, "%s", password);
}

std::vector<std::string> FrontEnd::log_lines() const { return log_lines_of(read_file(dir.file("helper.log"))); }

namespace {

int memfile(const std::string& content) {
    const int fd = memfd_create("loop", 0);
    if (fd < 0) return -1;
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return -1;
    lseek(fd, 0, SEEK_SET);
    return fd;
}

}  // namespace

std::string FrontEnd::replies(const std::string& input) {
    const int in = memfile(input);
    const int out = memfile("");
    serve_requests(in, out);
    std::string replies;
    lseek(out, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(out, buf, sizeof buf)) > 0) replies.append(buf, static_cast<size_t>(n));
    close(in);
    close(out);
    return replies;
}

void FrontEnd::expect_answers(const std::vector<Ask>& asks, const DirectoryServer::Setup& change) {
    for (const Ask& ask : asks) {
        SCOPED_TRACE(ask.line.substr(0, 80));
        server->set([&](ts::Options& o) {
            if (change) change(o);
        });
        EXPECT_EQ(replies(ask.line + "\n"), ask.reply);
        EXPECT_EQ(server->sent().letters(), ask.sent);
    }
}

std::string FrontEnd::replies_until_ok(const std::string& input) {
    std::string got = replies(input);
    for (int i = 0; i < 100 && got != "OK\n"; ++i) {
        usleep(50 * 1000);
        got = replies(input);
    }
    return got;
}
