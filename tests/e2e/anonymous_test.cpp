// The helper against the test directory server without a search user:
// which requests are members, how names are written, the log's format, and
// replies spread over many fragments.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "directories.h"

namespace {

using Anonymous = EndToEnd;

TEST_F(Anonymous, AnswersByNameAsTheDirectoryStoresIt) {
    ServerProcess& server = serve(e2e_directory(true));
    start(helper_config(server.port()));
    expect_replies({
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
    finish();
    EXPECT_EQ(server.sent().connections(), 1u);  // the server answered every ping
}

// The log's format, line by line: the start and stop lines, a Debug line
// for every group up to the match, the decision, and why a check failed.
TEST_F(Anonymous, DebugLogsEveryGroupUpToTheMatchAndTheDecision) {
    ServerProcess& server = serve(e2e_directory(true));
    start(helper_config(server.port(), "Debug Yes\n"));
    expect_replies({
        {"alice.sales.acme all.acme", "OK\n"},
        {".alice.sales.acme staff.sales.acme", "OK\n"},
        {"bob.acme all.acme", "ERR\n"},
        {"ghost.acme all.acme", "ERR\n"},
        {"no-blank", "ERR Invalid string\n"},
    });
    finish();
    EXPECT_EQ(helper->log_lines(),
              (std::vector<std::string>{
                  "server 127.0.0.1 connected.",
                  "wrenacl started. server=127.0.0.1:" + std::to_string(server.port()) +
                      ", SearchUser:, ConvertPercent:No.",
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
    const std::regex stamp(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d )");
    const std::string log = helper->log();
    std::vector<bool> stamped;
    for (size_t pos = 0, end; pos < log.size(); pos = end + 2) {
        end = std::min(log.find("\r\n", pos), log.size());
        stamped.push_back(std::regex_match(log.substr(pos, 20), stamp));
    }
    EXPECT_EQ(stamped, (std::vector<bool>{true, true, true, false, false, true, false, true, true, false, true}));
}

// Replies cut into small fragments: the helper collects them under the
// server's handles. carol's group list is some 4 KB, several hundred
// fragments of 7 bytes; one-byte fragments are used on the short replies only
// (the client gives up on a reply of more than 1024 fragments).
class Fragments : public EndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(Fragments, RepliesOverManyFragmentsGiveTheSameAnswers) {
    const int size = GetParam();
    ServerProcess& server = serve(e2e_directory(true), {"--fragment-size", std::to_string(size)});
    start(helper_config(server.port()));
    expect_replies({
        {"alice.sales.acme all.acme", "OK\n"},
        {"alice.sales.acme staff.acme", "ERR\n"},
        {"dave.acme sales team.sales.acme", "OK\n"},
    });
    if (size > 1) {
        expect_replies({
            {"carol.eng.acme project-1-with-a-rather-long-name.eng.acme", "OK\n"},
            {"carol.eng.acme project-40-with-a-rather-long-name.eng.acme", "OK\n"},
            {"carol.eng.acme project-41-with-a-rather-long-name.eng.acme", "ERR\n"},
        });
    }
    finish();
    EXPECT_EQ(server.sent().connections(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Fragments, ::testing::Values(1, 7, 100));

}  // namespace
