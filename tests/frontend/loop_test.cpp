#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/log.h"
#include "frontend/requestloop.h"
#include "tests/frontend/loop_doubles.h"
#include "tests/frontend/test_files.h"

namespace {

int memfile(const std::string& content) {
    int fd = memfd_create("loop", 0);
    if (fd < 0) return -1;
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return -1;
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string contents(int fd) {
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

class RequestLoop : public ::testing::Test {
protected:
    void SetUp() override {
        loop = LoopDoubles{};
        config_reset();
        llen = 0;
        use_program_name(dir.file("helper"));
    }
    void TearDown() override { config_reset(); }
    std::string run(const std::string& input) {
        int in = memfile(input);
        int out = memfile("");
        serve_requests(in, out);
        std::string replies = contents(out);
        close(in);
        close(out);
        return replies;
    }
    std::vector<std::string> checks() const {
        std::vector<std::string> v;
        for (const auto& c : loop.calls)
            if (c.rfind("check ", 0) == 0) v.push_back(c.substr(6));
        return v;
    }
    TempDir dir;
};

TEST_F(RequestLoop, SplitsAtTheFirstBlankAndTheGroupIsTheRest) {
    EXPECT_EQ(run("alice staff\n"
                  "alice    staff\n"
                  "alice staff admins\n"
                  "alice \n"
                  " alice staff\n"
                  "alice\tstaff x\n"
                  "alice staff\r\n"),
              "OK\nOK\nERR\nERR\nERR\nERR\nERR\n");
    EXPECT_EQ(checks(), (std::vector<std::string>{"alice|staff", "alice|staff", "alice|staff admins",
                                                  "alice|", "|alice staff", "alice\tstaff|x",
                                                  "alice|staff\r"}));
}

TEST_F(RequestLoop, NoBlankIsAnInvalidStringWithoutAnyDirectoryRequest) {
    EXPECT_EQ(run("alice\n\nalice\tstaff\n"), "ERR Invalid string\nERR Invalid string\nERR Invalid string\n");
    EXPECT_TRUE(loop.calls.empty());
}

TEST_F(RequestLoop, LastLineWithoutLineFeedIsARequest) {
    EXPECT_EQ(run("bob other\nalice staff"), "ERR\nOK\n");
    EXPECT_EQ(run(""), "");
}

TEST_F(RequestLoop, PercentDecodingComesAfterTheSplitAndOnlyWhenSwitchedOn) {
    EXPECT_EQ(run("john%20doe staff\n"), "OK\n");
    config_convertpercent = 1;
    EXPECT_EQ(run("john%20doe st%41ff%00x\n"), "ERR\n");  // group "stAff"
    EXPECT_EQ(checks(), (std::vector<std::string>{"john%20doe|staff", "john doe|stAff"}));
}

TEST_F(RequestLoop, NulInsideALineEndsTheUserPart) {
    EXPECT_EQ(run(std::string("alice\0 staff\n", 13) + std::string("al\0ice staff\n", 13)),
              "ERR Invalid string\nERR Invalid string\n");
    EXPECT_TRUE(checks().empty());
}

TEST_F(RequestLoop, OverLongLineIsAnsweredErrWithoutACheckAndNotSplit) {
    std::string fits = "u " + std::string(509, 'g');  // 511 characters
    std::string over = "u " + std::string(510, 'g');  // 512 characters
    std::string huge = "alice staff" + std::string(9000, ' ') + "x";
    EXPECT_EQ(run(fits + "\n" + over + "\n" + huge + "\nalice staff\n"), "ERR\nERR\nERR\nOK\n");
    EXPECT_EQ(checks(), (std::vector<std::string>{"u|" + std::string(509, 'g'), "alice|staff"}));
    // No ping after an over-long line either.
    int pings = 0;
    for (const auto& c : loop.calls) pings += c == "ping";
    EXPECT_EQ(pings, 1);
}

TEST_F(RequestLoop, NegativeAnswerPingsAndReconnectsOnlyWhenThePingFails) {
    EXPECT_EQ(run("alice staff\nbob other\n"), "OK\nERR\n");
    EXPECT_EQ(loop.calls, (std::vector<std::string>{"check alice|staff", "check bob|other", "ping"}));
    loop = LoopDoubles{};
    loop.ping_ok = false;
    EXPECT_EQ(run("bob admins\nalice staff\n"), "ERR\nOK\n");
    EXPECT_EQ(loop.calls,
              (std::vector<std::string>{"check bob|admins", "ping", "clear", "make", "check alice|staff"}));
    EXPECT_NE(read_file(dir.file("helper.log")).find("nds ping failed. reconnecting.\r\n"),
              std::string::npos);
}

TEST_F(RequestLoop, StopsWhenRepliesCannotBeWritten) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    int in = memfile("alice staff\nbob other\nalice staff\n");
    serve_requests(in, fds[1]);
    close(in);
    close(fds[1]);
    EXPECT_EQ(checks().size(), 1u);  // the rest of the input is not read
}

TEST_F(RequestLoop, EveryLineOfABigInputGetsOneReplyInOrder) {
    std::string input, expected;
    for (int i = 0; i < 3000; ++i) {
        bool member = i % 3 == 0;
        input += "user" + std::to_string(i) + (member ? " staff\n" : " other\n");
        expected += member ? "OK\n" : "ERR\n";
    }
    EXPECT_EQ(run(input), expected);
}

}  // namespace
