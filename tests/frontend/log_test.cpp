#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "frontend/log.h"
#include "frontend/logtext.h"
#include "frontend/progname.h"
#include "tests/frontend/front_end.h"

namespace {

std::string stamp_now() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char out[32];
    strftime(out, sizeof out, "%d.%m.%Y %H:%M:%S ", &local);
    return out;
}

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        llen = 0;
        use_program_name(dir.file("check.bin"));
    }
    void TearDown() override { llen = 0; }
    std::string log() { return read_file(dir.file("check.log")); }
    TempDir dir;
};

TEST_F(Log, OneStampPerFlushInFrontOfAllPendingText) {
    addtolog("first %s.\r\n", "line");
    addtolog("%s %lu %c\r\n", "second", 4294967295UL, 'x');
    std::string before = stamp_now();
    writetolog();
    std::string after = stamp_now();
    EXPECT_EQ(llen, 0);
    std::string text = log();
    ASSERT_EQ(text.size(), 20u + 13 + 21);
    std::string stamp = text.substr(0, 20);
    EXPECT_TRUE(stamp == before || stamp == after) << stamp;
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d )")));
    EXPECT_EQ(text.substr(20), "first line.\r\nsecond 4294967295 x\r\n");

    addtolog("third\r\n");
    writetolog();
    EXPECT_EQ(log().substr(54 + 20), "third\r\n");  // appended, not overwritten
}

TEST_F(Log, PendingTextIsBoundedAndDroppedSilently) {
    std::string chunk(1000, 'a');
    for (int i = 0; i < 10; ++i) addtolog("%s", chunk.c_str());
    EXPECT_EQ(llen, 10000);
    addtolog("%s", chunk.c_str());  // only 238 characters fit
    EXPECT_EQ(llen, 10238);
    EXPECT_EQ(logbuffer[10238], '\0');
    addtolog("more");
    EXPECT_EQ(llen, 10238);
    writetolog();
    EXPECT_EQ(log().size(), 20u + 10238);
    // After the flush there is room again.
    addtolog("again\r\n");
    EXPECT_EQ(llen, 7);
}

TEST_F(Log, TextWaitsWhileTheFileCannotBeOpened) {
    use_program_name(dir.file("missing/check"));
    addtolog("one\r\n");
    writetolog();
    addtolog("two\r\n");
    writetolog();
    EXPECT_EQ(llen, 10);
    use_program_name(dir.file("check"));
    writetolog();
    EXPECT_EQ(log().substr(20), "one\r\ntwo\r\n");  // one block under one stamp
}

TEST_F(Log, CreatedWithMode0660) {
    mode_t old = umask(0);
    addtolog("x\r\n");
    writetolog();
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dir.file("check.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
}

TEST_F(Log, NameUsesAtMost255CharactersOfTheProgramName) {
    std::string base = dir.path() + "/";
    std::string name = base + std::string(240, 'c') + ".bin";
    ASSERT_GT(name.size(), 255u);
    use_program_name(name);
    addtolog("x\r\n");
    writetolog();
    EXPECT_TRUE(file_exists(name.substr(0, 255) + ".log"));
}

TEST(LogEscape, ControlBytesBecomeUpperCaseHex) {
    char out[LOG_ESCAPED_SIZE];
    log_escape("eve\r\nforged\x01\x7F\x1F ok\x80", out, sizeof out);
    EXPECT_STREQ(out, "eve%0D%0Aforged%01%7F%1F ok\x80");
    std::string worst(511, '\n');
    log_escape(worst.c_str(), out, sizeof out);
    EXPECT_EQ(std::strlen(out), 3u * 511);
    char small[5];
    log_escape("\n\n", small, sizeof small);
    EXPECT_STREQ(small, "%0A");  // cut at a whole escape
}

// Several helpers of one proxy share the log: concurrent flushes must neither
// lose nor tear a record.
TEST_F(Log, ConcurrentFlushesOfSeveralProcessesKeepEveryRecord) {
    constexpr int kProcesses = 4;
    constexpr int kRecords = 150;
    const std::string pad(3000, 'p');
    pid_t pids[kProcesses];
    for (int p = 0; p < kProcesses; ++p) {
        pids[p] = fork();
        ASSERT_GE(pids[p], 0);
        if (pids[p] == 0) {
            for (int r = 0; r < kRecords; ++r) {
                addtolog("proc %d rec %d %s\r\n", p, r, pad.c_str());
                addtolog("proc %d rec %d second line\r\n", p, r);
                writetolog();
            }
            _exit(0);
        }
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream in(log());
    std::regex stamp(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d )");
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        ASSERT_GT(line.size(), 20u);
        ASSERT_TRUE(std::regex_match(line.substr(0, 20), stamp)) << line.substr(0, 80);
        int p = -1, r = -1, used = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + 20, "proc %d rec %d %n", &p, &r, &used), 2);
        EXPECT_EQ(line.substr(20 + static_cast<size_t>(used)), pad + "\r");
        std::string second;
        ASSERT_TRUE(std::getline(in, second));
        EXPECT_EQ(second, "proc " + std::to_string(p) + " rec " + std::to_string(r) +
                              " second line\r");
        seen.insert(std::to_string(p) + "/" + std::to_string(r));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kRecords));
}

}  // namespace
