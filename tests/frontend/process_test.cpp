// The whole process, spawned: program name, configuration, log, replies on
// standard output, exit status. wrenacl_fakedir is the real front end over an
// in-memory directory that traces its calls on standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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
    Outcome fakedir(const std::string& config, const std::string& input, bool closed_out = false) {
        write_file(dir.file("helper.conf"), config);
        return run(FAKEDIR_BINARY, "wrenacl", {dir.file("helper")}, input, closed_out);
    }
    // Log lines without their time stamps (a stamp starts a flush).
    static std::vector<std::string> lines(const std::string& log) {
        std::vector<std::string> v;
        size_t pos = 0;
        while (pos < log.size()) {
            size_t end = log.find("\r\n", pos);
            if (end == std::string::npos) end = log.size();
            std::string line = log.substr(pos, end - pos);
            if (line.size() >= 20 && line[2] == '.' && line[5] == '.' && line[13] == ':') line = line.substr(20);
            v.push_back(line);
            pos = end + 2;
        }
        return v;
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    }
    TempDir dir;
};

TEST_F(Process, AnonymousSessionAnswersEveryLineAndLogsStartAndStop) {
    Outcome r = fakedir("Server 127.0.0.1\n",
                    "alice staff.acme\n"
                    "alice admins.it.acme\n"
                    "bob staff.acme\n"
                    "alice\n"
                    "alice staff.acme");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OK\nOK\nERR\nERR Invalid string\nOK\n");
    EXPECT_EQ(lines(r.log), (std::vector<std::string>{
                                "server 127.0.0.1 connected.",
                                "wrenacl started. server=127.0.0.1:524, SearchUser:, ConvertPercent:No.",
                                "wrenacl stopped."}));
    EXPECT_EQ(count(r.err, "resolve "), 4u);  // none for the invalid line
    EXPECT_EQ(count(r.err, "ping"), 1u);      // only after the negative answer
}

TEST_F(Process, LoggedInSessionRebuildsTheConnectionAfterAFailedResolve) {
    Outcome r = fakedir("Server 127.0.0.1\nPort 1524\nSearchUser admin.acme\nSearchPass s3cret\n"
                    "Timeout 9\nConvertPercent yes\n",
                    "ghost staff.acme\njohn%20doe staff.acme\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ERR\nOK\n");
    EXPECT_EQ(lines(r.log), (std::vector<std::string>{
                                "server 127.0.0.1 connected.",
                                "wrenacl started. server=127.0.0.1:1524, SearchUser:admin.acme, "
                                "ConvertPercent:Yes.",
                                "connection to server closed.",
                                "nds ping failed. reconnecting.",
                                "server 127.0.0.1 connected.",
                                "connection to server closed.",
                                "wrenacl stopped."}));
    EXPECT_EQ(r.err,
              "connect 127.0.0.1:1524 timeout 9\nlogin admin.acme\nauth\nstate 1\n"
              "resolve ghost\ndisconnect\nping\n"
              "connect 127.0.0.1:1524 timeout 9\nlogin admin.acme\nauth\nstate 1\n"
              "resolve john doe\nread 3 Group Membership\ndisconnect\n");
    EXPECT_EQ(r.log.find("s3cret"), std::string::npos);
}

TEST_F(Process, DebugLogEscapesControlCharactersFromRequests) {
    Outcome r = fakedir("Server 127.0.0.1\nDebug Yes\nConvertPercent Yes\n",
                    "eve%0D%0A01.01.2030%2000:00:00%20forged staff\nalice staff.acme\n");
    EXPECT_EQ(r.out, "ERR\nOK\n");
    std::vector<std::string> l = lines(r.log);
    ASSERT_EQ(l.size(), 6u) << r.log;
    EXPECT_EQ(l[2], "failed to resolve eve%0D%0A01.01.2030 00:00:00 forged. "
                    "eve%0D%0A01.01.2030 00:00:00 forged NOT in group staff");
    EXPECT_EQ(l[3], "DEBUG: Object \"alice\" is in group \".staff.acme\"");
    EXPECT_EQ(l[4], "alice in group staff.acme");
}

TEST_F(Process, ProxyGoingAwayStopsCleanly) {
    std::string input;
    for (int i = 0; i < 2000; ++i) input += "alice staff.acme\n";
    Outcome r = fakedir("Server 127.0.0.1\n", input, true);
    EXPECT_EQ(r.status, 0);  // not killed by SIGPIPE
    EXPECT_EQ(lines(r.log).back(), "wrenacl stopped.");
    EXPECT_EQ(count(r.err, "resolve "), 1u);
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
    Outcome r = fakedir("Server 127.0.0.1\nConvertPercent Yes\nDebug Yes\n", input);
    EXPECT_EQ(r.status, 0);
    size_t replies = count(r.out, "\n");
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(count(r.out, "OK\n") + count(r.out, "ERR\n") + count(r.out, "ERR Invalid string\n"),
              replies);
    EXPECT_EQ(r.out.substr(r.out.size() - 3), "OK\n");
}

TEST_F(Process, NamesDeriveFromTheInvocationNameWithoutAnArgument) {
    write_file(dir.file("helper.conf"), "Server 127.0.0.1\n");
    Outcome r = run(FAKEDIR_BINARY, dir.file("helper.bin"), {}, "alice staff.acme\n");
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(lines(r.log).back(), "wrenacl stopped.");
}

TEST_F(Process, StartFailuresLogAndExitZeroWithoutReadingRequests) {
    Outcome missing = run(FAKEDIR_BINARY, "wrenacl", {dir.file("helper")}, "alice staff.acme\n");
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "");
    EXPECT_EQ(lines(missing.log), (std::vector<std::string>{"readconfig() failed.", "wrenacl stopped."}));

    std::remove(dir.file("helper.log").c_str());
    Outcome refused = fakedir("Server 127.0.0.1\nPort 9\nSearchUser ad\x01min\n", "alice staff.acme\n");
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(lines(refused.log), (std::vector<std::string>{
                                      "unable to connect 127.0.0.1:9.",
                                      "connection to server failed. server=127.0.0.1:9, "
                                      "SearchUser:ad%01min, ConvertPercent:No.",
                                      "wrenacl stopped."}));
}

TEST_F(Process, RealBinaryStopsWhenTheServerRefuses) {
    const char* binary = std::getenv("WRENACL_REAL_BINARY");
    if (binary == nullptr) binary = REAL_BINARY;
    if (access(binary, X_OK) != 0) GTEST_SKIP() << "wrenacl not built";
    write_file(dir.file("helper.conf"), "Server 127.0.0.1\nPort 1\nTimeout 2\n");
    Outcome r = run(binary, "wrenacl", {dir.file("helper")}, "alice staff\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines(r.log), (std::vector<std::string>{
                                "unable to connect 127.0.0.1:1.",
                                "connection to server failed. server=127.0.0.1:1, SearchUser:, "
                                "ConvertPercent:No.",
                                "wrenacl stopped."}));
}

}  // namespace
