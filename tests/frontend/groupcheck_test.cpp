#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/groupcheck.h"
#include "bytes.h"
#include "frontend/request.h"
#include "tests/frontend/front_end.h"

namespace {

// A name as the directory stores it: 16-bit units with a zero unit.
std::u16string stored(const char* ascii) {
    std::u16string s;
    for (const char* p = ascii; *p != 0; ++p) s.push_back(static_cast<unsigned char>(*p));
    s.push_back(0);
    return s;
}

class GroupCheck : public FrontEnd {
protected:
    // The check of one request and its decision line.
    CheckResult checked(const char* user, const char* group) {
        std::snprintf(buffer, sizeof buffer, "%s", user);
        chkrequest.user = buffer;
        chkrequest.groups[0] = buffer + std::strlen(user) + 1;
        chkrequest.group_count = 1;
        std::snprintf(chkrequest.groups[0], sizeof buffer - std::strlen(user) - 1, "%s", group);
        EXPECT_EQ(convert_request_names(), nullptr);
        const CheckResult result = check_group();
        log_check_decision(result);
        return result;
    }
    int check(const char* user, const char* group) { return checked(user, group).verdict; }
    // The log text of the requests (after the connect line).
    std::string log() {
        const std::string text = read_file(dir.file("helper.log"));
        const size_t first = text.find("\r\n");
        return first == std::string::npos ? "" : text.substr(first + 2);
    }
    void connect(const DirectoryServer::Setup& setup = {}) {
        serve(setup);
        ASSERT_EQ(make_connection(), 0);
    }
};

TEST_F(GroupCheck, DebugLinesListGroupsUpToTheMatchInOneFlush) {
    connect();
    server->set([](ts::Options&) {});  // what the set-up sent is forgotten
    config_debug = 1;
    EXPECT_EQ(check(".alice.sales.acme", "staff.acme"), 0);
    const std::vector<ts::Exchange> seen = server->exchanges();
    ASSERT_FALSE(seen.empty());
    ASSERT_EQ(seen.front().verb, 1u);
    EXPECT_EQ(seen.front().request[16], 'a') << "leading '.' dropped";
    const std::string text = log();
    ASSERT_GT(text.size(), 20u);
    EXPECT_EQ(text.substr(20),
              "DEBUG: Object \".alice.sales.acme\" is in group \".admins.acme\"\r\n"
              "DEBUG: Object \".alice.sales.acme\" is in group \".staff.acme\"\r\n"
              ".alice.sales.acme in group staff.acme\r\n");
}

Bytes value(const std::u16string& units) {
    Bytes b;
    for (char16_t u : units) put16(b, u);
    return b;
}

TEST_F(GroupCheck, DebugNameIsTypelessAndEscaped) {
    connect([](ts::Options& o) {
        o.raw_groups = {{value(stored("CN=ops.OU=it\n.O=acme")), value(stored("CN=x.acme"))}};
    });
    config_debug = 1;
    EXPECT_EQ(check("bob", "ops"), 1);
    EXPECT_EQ(log().substr(20),
              "DEBUG: Object \"bob\" is in group \".ops.it%0A.acme\"\r\n"
              "DEBUG: Object \"bob\" is in group \".x.\"\r\n"
              "bob NOT in group ops\r\n");
}

TEST_F(GroupCheck, WithoutDebugNothingIsLogged) {
    connect();
    EXPECT_EQ(check("alice.sales.acme", "staff.acme"), 0);
    EXPECT_EQ(check("bob", "staff.acme"), 1);
    EXPECT_EQ(check("nobody", "staff.acme"), 1);
    EXPECT_EQ(log(), "");
}

// What a failed resolve or read answers, which step failed, whether the
// directory answered, and the Debug lines: the reason in a line of its own,
// then the lines as they always were.
TEST_F(GroupCheck, FailuresAreAnswersOnlyForUnknownUsersAndMissingGroups) {
    constexpr uint32_t kNoAccess = 0xFFFFFD60;         // -672
    constexpr uint32_t kNoSuchAttribute = 0xFFFFFDA5;  // -603
    struct Case {
        const char* user;
        DirectoryServer::Setup setup;
        int result;
        CheckStep failed;
        bool answered;
        std::vector<std::string> log;
    } cases[] = {
        {"nobody", [](ts::Options&) {}, RESULT_NOT_MEMBER, CHECK_DONE, true,
         {"DEBUG: resolve failed: NDS error -601 from verb 1", "failed to resolve nobody. nobody NOT in group staff"}},
        {"bob", [](ts::Options& o) { o.fail_verb[1] = kNoAccess; }, RESULT_FAILED, CHECK_RESOLVE, true,
         {"DEBUG: resolve failed: NDS error -672 from verb 1", "failed to resolve bob. bob NOT in group staff"}},
        {"bob", [](ts::Options& o) { o.edit_verb[1].drop = true; }, RESULT_FAILED, CHECK_RESOLVE, false,
         {"DEBUG: resolve failed: connection closed by the server in verb 1",
          "failed to resolve bob. bob NOT in group staff"}},
        {"bob", [](ts::Options& o) { o.fail_verb[3] = kNoSuchAttribute; }, RESULT_NOT_MEMBER, CHECK_DONE, true,
         {"DEBUG: read failed: NDS error -603 from verb 3",
          "ncp_f_NDS_READ(Group Membership) failed. bob NOT in group staff"}},
        {"bob", [](ts::Options& o) { o.fail_verb[3] = kNoAccess; }, RESULT_FAILED, CHECK_READ, true,
         {"DEBUG: read failed: NDS error -672 from verb 3",
          "ncp_f_NDS_READ(Group Membership) failed. bob NOT in group staff"}},
        {"bob", [](ts::Options& o) { o.edit_verb[3].cut = 2; }, RESULT_FAILED, CHECK_READ, false,
         {"DEBUG: read failed: reply not as expected in verb 3",
          "ncp_f_NDS_READ(Group Membership) failed. bob NOT in group staff"}},
        {"bob", [](ts::Options& o) { o.edit_verb[3].drop = true; }, RESULT_FAILED, CHECK_READ, false,
         {"DEBUG: read failed: connection closed by the server in verb 3",
          "ncp_f_NDS_READ(Group Membership) failed. bob NOT in group staff"}},
    };
    login_as("admin.acme", "secret");
    config_debug = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log.front());
        connect();
        server->set(c.setup);
        std::remove(dir.file("helper.log").c_str());
        const CheckResult r = checked(c.user, "staff");
        EXPECT_EQ(r.verdict, c.result);
        EXPECT_EQ(r.failed, c.failed);
        EXPECT_EQ(r.answered, c.answered);
        EXPECT_EQ(log_lines(), c.log);
        clear_connection();
    }
}

// Values of any shape as the directory hands them over: the walk stays
// inside each value and matches only a whole name.
TEST_F(GroupCheck, OddValuesAreReadWithinBounds) {
    const Bytes good = value(stored("CN=staff"));
    Bytes unterminated = good;
    unterminated.resize(good.size() - 2);
    Bytes odd = good;
    odd.pop_back();
    const Bytes wide = {'C', 0, 'N', 0, '=', 0, 's', 1, 0, 0};
    struct Case {
        std::vector<Bytes> values;
        int result;
    } cases[] = {
        {{good}, 0},
        {{unterminated}, 1},
        {{odd}, 1},
        {{wide}, 1},
        {{Bytes{}, Bytes{0}, good}, 0},
        {{Bytes(4000, 0x41), good}, 0},
    };
    connect();
    for (size_t i = 0; i < std::size(cases); ++i) {
        server->set([&](ts::Options& o) { o.raw_groups = cases[i].values; });
        EXPECT_EQ(check("bob", "staff"), cases[i].result) << "case " << i;
    }
}

}  // namespace
