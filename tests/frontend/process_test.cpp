// The whole helper process against the test directory server process: the
// start line, the names derived from the invocation name, a proxy that goes
// away, and the start failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "end_to_end.h"

namespace {

class Process : public EndToEnd {
protected:
    // alice is in staff.acme.
    void SetUp() override { server = &serve("tree ACME\nserver CN=srv.O=acme\ngroup-read anyone\n"
                                            "user CN=alice\nmember CN=staff.O=acme\n"); }
    // The helper with the configuration after the server's address.
    HelperProcess& helper_with(const std::string& config, const HelperOptions& options = {}) {
        return start(helper_config(server->port(), config), options);
    }
    std::string port() const { return std::to_string(server->port()); }
    ServerProcess* server = nullptr;
};

// The keys that are not at their defaults show in the start line; a value
// that cannot be used is logged before it and left out.
TEST_F(Process, NewRequestFormsShowInTheStartLine) {
    HelperProcess& h = helper_with("ConvertPercent Yes\nConcurrency Yes\nCharset UTF8\nCharset auto\n"
                                   "StripRealm Yes\nIgnoreCase Yes\nContext ,acme\nContext acme\n");
    EXPECT_EQ(h.ask("4 .alice@ACME.EXAMPLE Staff.ACME"), "4 OK\n");  // a name with a dot skips the contexts
    finish();
    const std::vector<std::string> l = h.log_lines();
    EXPECT_EQ(count_lines(l, "config: unknown value UTF8 for Charset, ignored."), 1u);
    EXPECT_EQ(count_lines(l, "config: Context ,acme ignored (an empty context)."), 1u);
    EXPECT_EQ(count_lines(l, "wrenacl started. server=127.0.0.1:" + port() +
                                 ", SearchUser:, ConvertPercent:Yes, Concurrency:Yes, Charset:auto, StripRealm:Yes, "
                                 "IgnoreCase:Yes, Context:acme."),
              1u);
}

TEST_F(Process, ProxyGoingAwayStopsCleanly) {
    HelperProcess& h = helper_with("");
    h.close_output();
    for (int i = 0; i < 100 && h.send("alice staff.acme"); ++i) {}
    h.close_input();
    EXPECT_EQ(h.wait(), 0);  // not killed by SIGPIPE
    EXPECT_EQ(h.log_lines().back(), "wrenacl stopped.");
}

TEST_F(Process, NamesDeriveFromTheInvocationNameWithoutAnArgument) {
    HelperProcess& h = helper_with("", {"wrenacl.bin", std::nullopt, std::nullopt});
    EXPECT_EQ(h.ask("alice staff.acme"), "OK\n");
    finish();
    EXPECT_EQ(h.log_lines().back(), "wrenacl stopped.");
}

// Each start failure waits about 3 seconds before the exit, reads no
// request and writes nothing on standard output.
TEST_F(Process, StartFailuresLogAndExitZeroWithoutReadingRequests) {
    const auto failed = [&](const std::optional<std::string>& config) {
        HelperProcess& h = start(config);
        h.send("alice staff.acme");
        finish();
        return h.log_lines();
    };
    EXPECT_EQ(failed(std::nullopt), (std::vector<std::string>{"readconfig() failed.", "wrenacl stopped."}));
    // What went wrong also goes where squid copies a helper's standard error.
    EXPECT_EQ(helper->standard_error(),
              "wrenacl: readconfig() failed.\nwrenacl: " + helper->dir().file("wrenacl.conf") +
                  ": No such file or directory\n");

    // A search user that is not UTF-8 under "Charset UTF-8" is never sent.
    std::vector<std::string> l = failed(helper_config(server->port(), "Charset UTF-8\nSearchUser \xE9ve.acme\n"));
    EXPECT_EQ(count_lines(l, "SearchUser %E9ve.acme is not UTF-8."), 1u);
    EXPECT_EQ(count_lines(l, "connection to server failed. server=127.0.0.1:" + port() +
                                 ", SearchUser:%E9ve.acme, ConvertPercent:No, Charset:UTF-8."),
              1u);
    EXPECT_EQ(server->sent().round_trips(), 0u);

    ASSERT_EQ(server->stop(), 0);
    l = failed(helper_config(server->port(), "SearchUser ad\x01min\n"));
    EXPECT_EQ(count_lines(l, "unable to connect 127.0.0.1:" + port() + "."), 1u);
    EXPECT_EQ(count_lines(l, "connection to server failed. server=127.0.0.1:" + port() +
                                 ", SearchUser:ad%01min, ConvertPercent:No."),
              1u);
    EXPECT_EQ(helper->standard_error(), "wrenacl: unable to connect 127.0.0.1:" + port() +
                                            ".\nwrenacl: connection to server failed. server=127.0.0.1:" + port() +
                                            ", SearchUser:ad%01min, ConvertPercent:No.\n");
}

// An argument that begins with '-' is an option, never a name: no file is
// read or made for it; an unknown one waits as a failed start does.
TEST_F(Process, OptionsMakeNoFile) {
    const struct {
        const char* argument;
        const char* out;
        const char* err;  // the start of standard error
    } cases[] = {
        {"--version", "wrenacl 0.9.0\n", ""},
        {"--help", "", "usage: wrenacl [NAME]\n"},
        {"-x", "", "wrenacl: unknown option -x; usage: wrenacl [NAME], or wrenacl --help\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        HelperProcess& h = start(std::nullopt, {"", std::nullopt, std::string(c.argument)});
        h.close_input();
        EXPECT_EQ(h.rest_of_output(), c.out);
        EXPECT_EQ(h.wait(), 0);
        EXPECT_EQ(h.standard_error().rfind(c.err, 0), 0u) << h.standard_error();
        EXPECT_FALSE(file_exists(h.dir().file(std::string(c.argument) + ".log")));
        EXPECT_FALSE(file_exists(h.dir().file("wrenacl.log")));
    }
}

}  // namespace
