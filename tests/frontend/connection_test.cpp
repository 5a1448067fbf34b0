#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/log.h"
#include "tests/frontend/fake_directory.h"
#include "tests/frontend/test_files.h"

namespace {

class ConnectionManager : public ::testing::Test {
protected:
    void SetUp() override {
        fake_reset();
        config_reset();
        llen = 0;
        flag_connected = 0;
        NCPCONN_init(&conn);
        use_program_name(dir.file("helper"));
        std::snprintf(config_server, sizeof config_server, "10.1.1.5");
    }
    void TearDown() override {
        config_reset();
        flag_connected = 0;
    }
    // The log without its time stamps.
    std::vector<std::string> log_lines() {
        std::vector<std::string> lines;
        std::string text = read_file(dir.file("helper.log"));
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(pos + 20, end - pos - 20));
            pos = end + 2;
        }
        return lines;
    }
    void login_as(const char* user, const char* password) {
        std::snprintf(config_user, sizeof config_user, "%s", user);
        std::snprintf(config_password, sizeof config_password, "%s", password);
    }
    TempDir dir;
};

TEST_F(ConnectionManager, AnonymousConnectionLeavesTheFlagClear) {
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(flag_connected, 0);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"server 10.1.1.5 connected."});
    EXPECT_EQ(fake.calls, std::vector<std::string>{"connect 10.1.1.5:524 timeout 20"});
    EXPECT_EQ(fake.last_address.sin_family, AF_INET);
    // An anonymous connection is neither closed nor logged by clear_connection.
    EXPECT_EQ(clear_connection(), 1);
    EXPECT_EQ(log_lines().size(), 1u);
}

TEST_F(ConnectionManager, FullLoginSequenceSetsTheFlag) {
    login_as("admin.acme", "secret");
    config_timeout = 5;
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(flag_connected, 1);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"connect 10.1.1.5:524 timeout 5",
                                                     "login admin.acme", "auth", "state 1"}));
    EXPECT_EQ(fake.last_password, "secret");
    // While it is held, make_connection does nothing and logs nothing.
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(fake.calls.size(), 4u);
    EXPECT_EQ(clear_connection(), 0);
    EXPECT_EQ(conn.sock, -1);
    EXPECT_EQ(clear_connection(), 1);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"server 10.1.1.5 connected.",
                                                     "connection to server closed."}));
    EXPECT_EQ(read_file(dir.file("helper.log")).find("secret"), std::string::npos);
}

TEST_F(ConnectionManager, EachFailingStepLogsItsOwnLine) {
    struct Case {
        bool FakeDirectory::*flag;
        const char* line;
        size_t calls;
    } cases[] = {
        {&FakeDirectory::login_fails, "login failed on 10.1.1.5:524.", 2},
        {&FakeDirectory::auth_fails, "auth failed", 3},
        {&FakeDirectory::state_fails, "connection change state failed", 4},
        {&FakeDirectory::connect_fails, "unable to connect 10.1.1.5:524.", 1},
    };
    for (const Case& c : cases) {
        fake_reset();
        NCPCONN_init(&conn);
        std::remove(dir.file("helper.log").c_str());
        login_as("admin", "pw");
        fake.*c.flag = true;
        EXPECT_EQ(make_connection(), 1) << c.line;
        EXPECT_EQ(flag_connected, 0);
        EXPECT_EQ(log_lines(), std::vector<std::string>{c.line});
        EXPECT_EQ(fake.calls.size(), c.calls) << c.line;
    }
}

TEST_F(ConnectionManager, SocketLeftOpenIsClosedBeforeTheNextConnect) {
    login_as("admin", "pw");
    fake.login_fails = true;
    EXPECT_EQ(make_connection(), 1);  // the TCP connection stays open
    EXPECT_GE(conn.sock, 0);
    fake.login_fails = false;
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(fake.overwritten_sockets, 0);
    ASSERT_GE(fake.calls.size(), 4u);
    EXPECT_EQ(fake.calls[2], "disconnect");
    EXPECT_EQ(fake.calls[3], "connect 10.1.1.5:524 timeout 20");

    // Anonymous: a reconnect goes straight to a new connect, also closing first.
    fake_reset();
    config_reset();
    flag_connected = 0;
    std::snprintf(config_server, sizeof config_server, "10.1.1.5");
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(make_connection(), 0);
    EXPECT_EQ(fake.overwritten_sockets, 0);
}

TEST_F(ConnectionManager, PortIsCutTo16BitsForTheSocketButLoggedWhole) {
    fake.connect_fails = true;
    config_port = 70000;
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(ntohs(fake.last_address.sin_port), 4464);
    config_port = -1;
    EXPECT_EQ(make_connection(), 1);
    EXPECT_EQ(ntohs(fake.last_address.sin_port), 65535);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"unable to connect 10.1.1.5:70000.",
                                                     "unable to connect 10.1.1.5:4294967295."}));
}

TEST_F(ConnectionManager, ServerThatGivesNoAddressIsNotContacted) {
    const char* servers[] = {"", "255.255.255.255", "host.invalid"};
    for (const char* s : servers) {
        std::snprintf(config_server, sizeof config_server, "%s", s);
        EXPECT_EQ(make_connection(), 1) << s;
    }
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"unable to resolve .",
                                                     "unable to resolve 255.255.255.255.",
                                                     "unable to resolve host.invalid."}));
}

TEST_F(ConnectionManager, HostNamesAreLookedUp) {
    std::snprintf(config_server, sizeof config_server, "localhost");
    ASSERT_EQ(make_connection(), 0);
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &fake.last_address.sin_addr, addr, sizeof addr);
    EXPECT_EQ(std::string(addr).rfind("127.", 0), 0u) << addr;
}

}  // namespace
