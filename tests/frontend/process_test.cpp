// The whole helper process, spawned with its input in a file, against the
// test directory server process: program name, configuration, log, replies
// on standard output, exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "helper_process.h"
#include "server_process.h"
#include "tests/frontend/test_files.h"

namespace {

struct Outcome {
    int status = -1;  // exit status, or -1 when not exited normally
    std::string out, err, log;
};

class Process : public ::testing::Test {
protected:
    // Runs binary with argv {argv0, args...}, stdin from a file with input.
    Outcome run(const std::string& binary, const std::string& argv0, std::vector<std::string> args,
            const std::string& input, bool close_stdout_reader = false) {
        write_file(dir.file("stdin"), input);
        int in = open(dir.file("stdin").c_str(), O_RDONLY);
        int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int out_pipe[2] = {-1, -1};
        int out = -1;
        if (close_stdout_reader) {
            if (pipe(out_pipe) != 0) return {};
            close(out_pipe[0]);
            out = out_pipe[1];
        } else {
            out = open(dir.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(argv0.c_str()));
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_DFL);  // the helper must ignore it itself
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(in);
        close(out);
        close(err);
        Outcome r;
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (!close_stdout_reader) r.out = read_file(dir.file("stdout"));
        r.err = read_file(dir.file("stderr"));
        r.log = read_file(dir.file("helper.log"));
        return r;
    }
    // The helper with the configuration (the server's address first) and input.
    Outcome helper(const std::string& config, const std::string& input, bool closed_out = false) {
        write_file(dir.file("helper.conf"), helper_config(server.port(), config));
        return run(WRENACL_BINARY, "wrenacl", {dir.file("helper")}, input, closed_out);
    }
    static std::vector<std::string> lines(const std::string& log) { return log_lines_of(log); }
    // Requests of the server's log: resolves and pings, the set-up's included.
    size_t resolves() const { return count(server.log(), " verb=1 ") - 1; }
    size_t pings() const { return count(server.log(), "function=104 subfunction=1 ") - 1; }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    }
    TempDir dir;
    // alice is in staff.acme and admins.it.acme, "john doe" in staff.acme, bob in none.
    ServerProcess server{"tree ACME\nserver CN=srv.O=acme\ngroup-read anyone\n"
                         "user CN=alice\nmember CN=staff.O=acme\nmember CN=admins.OU=it.O=acme\n"
                         "user CN=john doe\nmember CN=staff.O=acme\nuser CN=bob\n",
                         {"--verbose"}};
};

TEST_F(Process, AnonymousSessionAnswersEveryLineAndLogsStartAndStop) {
    Outcome r = helper("", "alice staff.acme\n"
                           "alice admins.it.acme\n"
                           "bob staff.acme\n"
                           "alice\n"
                           "alice staff.acme");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OK\nOK\nERR\nERR Invalid string\nOK\n");
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(lines(r.log), (std::vector<std::string>{
                                "server 127.0.0.1 connected.",
                                "wrenacl started. server=127.0.0.1:" + port + ", SearchUser:, ConvertPercent:No.",
                                "wrenacl stopped."}));
    EXPECT_EQ(resolves(), 4u);  // none for the invalid line
    EXPECT_EQ(pings(), 1u);     // only after the negative answer
}

// The request forms' keys that are not at their defaults show in the start
// line; a value that cannot be used is logged before it and left out.
TEST_F(Process, NewRequestFormsShowInTheStartLine) {
    Outcome r = helper("Concurrency Yes\nCharset UTF8\nCharset auto\nStripRealm Yes\nIgnoreCase Yes\n"
                       "Context ,acme\nContext acme\n",
                       "4 .alice@ACME.EXAMPLE Staff.ACME\n5 alice\n");  // a name with a dot skips the contexts
    EXPECT_EQ(r.out, "4 OK\n5 ERR Invalid string\n");
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(lines(r.log), (std::vector<std::string>{
                                "config: unknown value UTF8 for Charset, ignored.",
                                "config: Context ,acme ignored (an empty context).",
                                "server 127.0.0.1 connected.",
                                "wrenacl started. server=127.0.0.1:" + port +
                                    ", SearchUser:, ConvertPercent:No, Concurrency:Yes, Charset:auto, StripRealm:Yes, "
                                    "IgnoreCase:Yes, Context:acme.",
                                "wrenacl stopped."}));
}

TEST_F(Process, DebugLogEscapesControlCharactersFromRequests) {
    Outcome r = helper("Debug Yes\nConvertPercent Yes\n",
                       "eve%0D%0A01.01.2030%2000:00:00%20forged staff\nalice staff.acme\n");
    EXPECT_EQ(r.out, "ERR\nOK\n");
    std::vector<std::string> l = lines(r.log);
    ASSERT_EQ(l.size(), 7u) << r.log;
    EXPECT_EQ(l[2], "DEBUG: resolve failed: NDS error -601 from verb 1");
    EXPECT_EQ(l[3], "failed to resolve eve%0D%0A01.01.2030 00:00:00 forged. "
                    "eve%0D%0A01.01.2030 00:00:00 forged NOT in group staff");
    EXPECT_EQ(l[4], "DEBUG: Object \"alice\" is in group \".staff.acme\"");
    EXPECT_EQ(l[5], "alice in group staff.acme");
}

TEST_F(Process, ProxyGoingAwayStopsCleanly) {
    std::string input;
    for (int i = 0; i < 2000; ++i) input += "alice staff.acme\n";
    Outcome r = helper("", input, true);
    EXPECT_EQ(r.status, 0);  // not killed by SIGPIPE
    EXPECT_EQ(lines(r.log).back(), "wrenacl stopped.");
    EXPECT_EQ(resolves(), 1u);
}

TEST_F(Process, RandomBytesGetExactlyOneReplyPerLine) {
    std::mt19937 rng(12345);
    const char alphabet[] = {' ', ' ', '\n', '\r', '\0', '%', '.', 'a', 'l', 'i', 'c', 'e',
                             's', 't', 'f', '0', 'A', '\t', '\x7F', '\xFF'};
    std::string input;
    for (int i = 0; i < 200000; ++i) {
        if (rng() % 5000 == 0) input += std::string(700 + rng() % 2000, 'z');
        input.push_back(alphabet[rng() % sizeof alphabet]);
    }
    input += "\nalice staff.acme";  // last line without LF
    size_t expected = count(input, "\n") + 1;
    Outcome r = helper("ConvertPercent Yes\nDebug Yes\n", input);
    EXPECT_EQ(r.status, 0);
    size_t replies = count(r.out, "\n");
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(count(r.out, "OK\n") + count(r.out, "ERR\n") + count(r.out, "ERR Invalid string\n"), replies);
    EXPECT_EQ(r.out.substr(r.out.size() - 3), "OK\n");
}

TEST_F(Process, NamesDeriveFromTheInvocationNameWithoutAnArgument) {
    write_file(dir.file("helper.conf"), helper_config(server.port()));
    Outcome r = run(WRENACL_BINARY, dir.file("helper.bin"), {}, "alice staff.acme\n");
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(lines(r.log).back(), "wrenacl stopped.");
}

// Each start failure waits about 3 seconds before the exit.
TEST_F(Process, StartFailuresLogAndExitZeroWithoutReadingRequests) {
    Outcome missing = run(WRENACL_BINARY, "wrenacl", {dir.file("helper")}, "alice staff.acme\n");
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "");
    EXPECT_EQ(lines(missing.log), (std::vector<std::string>{"readconfig() failed.", "wrenacl stopped."}));

    std::remove(dir.file("helper.log").c_str());
    const std::string port = std::to_string(server.port());
    ASSERT_EQ(server.stop(), 0);
    Outcome refused = helper("SearchUser ad\x01min\n", "alice staff.acme\n");
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(lines(refused.log), (std::vector<std::string>{
                                      "unable to connect 127.0.0.1:" + port + ".",
                                      "connection to server failed. server=127.0.0.1:" + port +
                                          ", SearchUser:ad%01min, ConvertPercent:No.",
                                      "wrenacl stopped."}));

    // A search user that is not UTF-8 under "Charset UTF-8" is never sent.
    std::remove(dir.file("helper.log").c_str());
    Outcome bad_user = helper("Charset UTF-8\nSearchUser \xE9ve.acme\n", "alice staff.acme\n");
    EXPECT_EQ(bad_user.out, "");
    EXPECT_EQ(lines(bad_user.log), (std::vector<std::string>{
                                       "SearchUser %E9ve.acme is not UTF-8.",
                                       "connection to server failed. server=127.0.0.1:" + port +
                                           ", SearchUser:%E9ve.acme, ConvertPercent:No, Charset:UTF-8.",
                                       "wrenacl stopped."}));
}

}  // namespace
