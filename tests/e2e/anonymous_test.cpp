// The helper against the test directory server without a search user:
// which requests are members, how names are written, percent decoding, the
// log with and without Debug, and replies spread over many fragments.
#include <gtest/gtest.h>

#include "directories.h"

namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

TEST(Anonymous, AnswersByNameAsTheDirectoryStoresIt) {
    ServerProcess server(e2e_directory(true));
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(helper_config(server.port()));
    expect_replies(helper, Cases{
        // The user may be typeless, typed, with a leading dot, in any case.
        {"alice.sales.acme staff.sales.acme", "OK\n"},
        {"CN=alice.OU=sales.O=acme staff.sales.acme", "OK\n"},
        {".alice.sales.acme .staff.sales.acme", "OK\n"},
        {"ALICE.Sales.ACME all.acme", "OK\n"},
        {"alice.sales.acme    all.acme", "OK\n"},
        // The group must be the whole typeless path, letter case included.
        {"alice.sales.acme Staff.sales.acme", "ERR\n"},
        {"alice.sales.acme staff.sales", "ERR\n"},
        {"alice.sales.acme staff.acme", "ERR\n"},
        {"alice.sales.acme staff.sales.acme.", "ERR\n"},
        {"alice.sales.acme CN=staff.OU=sales.O=acme", "ERR\n"},
        {"alice.sales.acme all.acme\r", "ERR\n"},
        {"alice.sales.acme ", "ERR\n"},
        // A group with a blank is the rest of the line.
        {"dave.acme sales team.sales.acme", "OK\n"},
        {"dave.acme sales", "ERR\n"},
        // Request bytes are ISO 8859-1 letters, compared exactly.
        {"j\xFCrgen.ops.acme \xDC" "berwachung.ops.acme", "OK\n"},
        {"J\xDCRGEN.ops.acme \xDC" "berwachung.ops.acme", "OK\n"},
        {"j\xFCrgen.ops.acme \xFC" "berwachung.ops.acme", "ERR\n"},
        // No groups, names that do not resolve, lines without a blank.
        {"bob.acme all.acme", "ERR\n"},
        {"alice staff.sales.acme", "ERR\n"},
        {"ghost.acme all.acme", "ERR\n"},
        {"alice.sales.acme", "ERR Invalid string\n"},
        {"", "ERR Invalid string\n"},
        // Without ConvertPercent the escapes are part of the names.
        {"Ann%20Smith.sales.acme sales%20team.sales.acme", "ERR\n"},
        // The connection is still good after all of that.
        {"alice.sales.acme staff.sales.acme", "OK\n"},
    });
    helper.close_input();
    EXPECT_EQ(helper.rest_of_output(), "");
    EXPECT_EQ(helper.wait(), 0);
    // The server answered every ping: no reconnect, no other log line.
    EXPECT_EQ(helper.log_lines(), (std::vector<std::string>{"server 127.0.0.1 connected.",
                                                            started_line(server.port()),
                                                            "wrenacl stopped."}));
    EXPECT_EQ(server.wait_for_lines("CLOSED", 1).size(), 1u);
    expect_no_deviation(server);
}

TEST(Anonymous, PercentDecodingAppliesToBothNamesAfterTheSplit) {
    ServerProcess server(e2e_directory(true));
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(helper_config(server.port(), "ConvertPercent Yes\n"));
    expect_replies(helper, Cases{
        {"Ann%20Smith.sales.acme sales%20team.sales.acme", "OK\n"},
        {"alice%2Esales.acme staff%2Esales.acme", "OK\n"},
        {"alice.sales.acme staff%2esales.acme", "ERR\n"},  // lower-case hex stays as written
        {"Ann Smith.sales.acme sales team.sales.acme", "ERR\n"},
        {"alice.sales.acme staff.sales.acme", "OK\n"},
    });
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    EXPECT_EQ(helper.log_lines().at(1), started_line(server.port(), "", true));
    expect_no_deviation(server);
}

TEST(Anonymous, DebugLogsEveryGroupUpToTheMatchAndTheDecision) {
    ServerProcess server(e2e_directory(true));
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(helper_config(server.port(), "Debug Yes\n"));
    expect_replies(helper, Cases{
        {"alice.sales.acme all.acme", "OK\n"},
        {".alice.sales.acme staff.sales.acme", "OK\n"},
        {"bob.acme all.acme", "ERR\n"},
        {"ghost.acme all.acme", "ERR\n"},
        {"no-blank", "ERR Invalid string\n"},
    });
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    EXPECT_EQ(helper.log_lines(),
              (std::vector<std::string>{
                  "server 127.0.0.1 connected.",
                  started_line(server.port()),
                  "DEBUG: Object \"alice.sales.acme\" is in group \".staff.sales.acme\"",
                  "DEBUG: Object \"alice.sales.acme\" is in group \".all.acme\"",
                  "alice.sales.acme in group all.acme",
                  "DEBUG: Object \".alice.sales.acme\" is in group \".staff.sales.acme\"",
                  ".alice.sales.acme in group staff.sales.acme",
                  "bob.acme NOT in group all.acme",
                  "DEBUG: resolve failed: NDS error -601 from verb 1",
                  "failed to resolve ghost.acme. ghost.acme NOT in group all.acme",
                  "wrenacl stopped.",
              }));
    // One time stamp per flush: the lines of one request share the first one.
    const std::vector<std::string> raw = [&] {
        std::vector<std::string> v;
        const std::string log = helper.log();
        for (size_t pos = 0, end; pos < log.size(); pos = end + 2) {
            end = log.find("\r\n", pos);
            if (end == std::string::npos) end = log.size();
            v.push_back(log.substr(pos, end - pos));
        }
        return v;
    }();
    std::vector<bool> stamped;
    for (const std::string& l : raw) stamped.push_back(l.size() >= 20 && l[2] == '.' && l[5] == '.' && l[13] == ':');
    EXPECT_EQ(stamped, (std::vector<bool>{true, true, true, false, false, true, false, true, true, false, true}));
    expect_no_deviation(server);
}

TEST(Anonymous, DirectoryThatRefusesAnonymousReadsGivesErrForEveryone) {
    ServerProcess server(e2e_directory(false));
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(helper_config(server.port(), "Debug Yes\n"));
    expect_replies(helper, Cases{
        {"alice.sales.acme staff.sales.acme", "ERR\n"},
        {"dave.acme sales team.sales.acme", "ERR\n"},
    });
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    const std::vector<std::string> lines = helper.log_lines();
    EXPECT_EQ(count_lines(lines, "ncp_f_NDS_READ(Group Membership) failed. alice.sales.acme NOT in group "
                                 "staff.sales.acme"),
              1u);
    EXPECT_EQ(count_lines(lines, "nds ping failed. reconnecting."), 0u);  // a refusal is no lost server
    EXPECT_EQ(server.lines("NO-ACCESS").size(), 2u);
    expect_no_deviation(server);
}

// Replies cut into small fragments: the helper collects them under the
// server's handles. carol's group list is some 4 KB, several hundred
// fragments of 7 bytes; one-byte fragments are used on the short replies only
// (the client gives up on a reply of more than 1024 fragments).
class Fragments : public ::testing::TestWithParam<int> {};

TEST_P(Fragments, RepliesOverManyFragmentsGiveTheSameAnswers) {
    const int size = GetParam();
    ServerProcess server(e2e_directory(true), {"--fragment-size", std::to_string(size)});
    ASSERT_NE(server.port(), 0);
    HelperProcess helper(helper_config(server.port()));
    Cases cases = {
        {"alice.sales.acme all.acme", "OK\n"},
        {"alice.sales.acme staff.acme", "ERR\n"},
        {"dave.acme sales team.sales.acme", "OK\n"},
    };
    if (size > 1) {
        cases.push_back({"carol.eng.acme project-1-with-a-rather-long-name.eng.acme", "OK\n"});
        cases.push_back({"carol.eng.acme project-40-with-a-rather-long-name.eng.acme", "OK\n"});
        cases.push_back({"carol.eng.acme project-41-with-a-rather-long-name.eng.acme", "ERR\n"});
    }
    expect_replies(helper, cases);
    helper.close_input();
    EXPECT_EQ(helper.wait(), 0);
    EXPECT_EQ(count_lines(helper.log_lines(), "nds ping failed. reconnecting."), 0u);
    expect_no_deviation(server);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Fragments, ::testing::Values(1, 7, 100));

}  // namespace
