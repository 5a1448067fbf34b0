#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/groupcheck.h"
#include "frontend/log.h"
#include "frontend/requestloop.h"
#include "tests/frontend/fake_directory.h"
#include "tests/frontend/test_files.h"

namespace {

std::vector<uint8_t> le_bytes(const std::u16string& s) {
    std::vector<uint8_t> out;
    for (char16_t u : s) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

bool matches(const char* stored_name, const char* group) {
    return compare_group_name(le_bytes(stored(stored_name)), group) == 0;
}

TEST(CompareGroupName, TypedStoredNameAgainstTypelessRequest) {
    EXPECT_TRUE(matches("CN=staff.OU=sales.O=acme", "staff.sales.acme"));
    EXPECT_TRUE(matches("CN=staff.OU=sales.O=acme", ".staff.sales.acme"));
    EXPECT_FALSE(matches("CN=staff.OU=sales.O=acme", "Staff.sales.acme"));
    EXPECT_FALSE(matches("CN=staff.OU=sales.O=acme", "staff.sales"));
    EXPECT_FALSE(matches("CN=staff.OU=sales.O=acme", "staff.sales.acme."));
    EXPECT_FALSE(matches("CN=staff.OU=sales.O=acme", "staff.acme"));
    EXPECT_TRUE(matches("CN=staff.O=acme", "staff.acme"));
    EXPECT_FALSE(matches("CN=staff.O=acme", "staff"));
    EXPECT_TRUE(matches("cn=staff.O=acme", "staff.acme"));
    EXPECT_TRUE(matches(".CN=staff.O=acme", "staff.acme"));
    EXPECT_TRUE(matches("staff", "staff"));
    EXPECT_FALSE(matches("staff.acme", "staff.acme"));  // typeless with two parts
    EXPECT_FALSE(matches("CN=staff.O=acme", "CN=staff.O=acme"));
    EXPECT_FALSE(matches("CN=staff.O=acme", ""));
    EXPECT_TRUE(matches("CN=", ""));
    EXPECT_FALSE(matches("", "x"));
}

TEST(CompareGroupName, UnitsAboveOneByteAndMissingTerminatorNeverMatch) {
    std::u16string wide = stored("CN=st.O=acme");
    wide[4] = 0x0174;  // low byte 't', high byte set
    EXPECT_NE(compare_group_name(le_bytes(wide), "st.acme"), 0);
    std::u16string unterminated = stored("CN=staff");
    unterminated.pop_back();
    EXPECT_NE(compare_group_name(le_bytes(unterminated), "staff"), 0);
    std::vector<uint8_t> odd = le_bytes(stored("staff"));
    odd.pop_back();  // the zero unit is cut in half
    EXPECT_NE(compare_group_name(odd, "staff"), 0);
    EXPECT_NE(compare_group_name({}, ""), 0);
    // Latin-1 request bytes compare with units 128..255.
    std::u16string latin = stored("CN=g\xE9n.O=acme");
    EXPECT_EQ(compare_group_name(le_bytes(latin), "g\xE9n.acme"), 0);
}

class GroupCheck : public ::testing::Test {
protected:
    void SetUp() override {
        fake_reset();
        config_reset();
        llen = 0;
        flag_connected = 0;
        NCPCONN_init(&conn);
        conn.sock = 7;  // an open connection
        use_program_name(dir.file("helper"));
        fake.users = {
            {"alice.sales.acme", 1,
             {stored("CN=admins.O=acme"), stored("CN=staff.O=acme"), stored("CN=never.O=acme")}},
            {"bob", 2, {}},
            {"carol", 3, {}, true},
        };
    }
    void TearDown() override {
        config_reset();
        flag_connected = 0;
    }
    int check(const char* user, const char* group) {
        std::snprintf(buffer, sizeof buffer, "%s", user);
        chkuser = buffer;
        chkgroup = buffer + std::strlen(user) + 1;
        std::snprintf(chkgroup, sizeof buffer - std::strlen(user) - 1, "%s", group);
        return check_group();
    }
    std::string log() { return read_file(dir.file("helper.log")); }
    TempDir dir;
};

TEST_F(GroupCheck, DebugLinesListGroupsUpToTheMatchInOneFlush) {
    config_debug = 1;
    EXPECT_EQ(check(".alice.sales.acme", "staff.acme"), 0);
    EXPECT_EQ(fake.calls[0], "resolve alice.sales.acme");  // leading '.' dropped
    std::string text = log();
    ASSERT_GT(text.size(), 20u);
    EXPECT_EQ(text.substr(20),
              "DEBUG: Object \".alice.sales.acme\" is in group \".admins.acme\"\r\n"
              "DEBUG: Object \".alice.sales.acme\" is in group \".staff.acme\"\r\n"
              ".alice.sales.acme in group staff.acme\r\n");
}

TEST_F(GroupCheck, DebugNameIsTypelessAndEscaped) {
    config_debug = 1;
    fake.users[1].groups = {stored("CN=ops.OU=it\n.O=acme"), stored("CN=x.acme")};
    EXPECT_EQ(check("bob", "ops"), 1);
    EXPECT_EQ(log().substr(20),
              "DEBUG: Object \"bob\" is in group \".ops.it%0A.acme\"\r\n"
              "DEBUG: Object \"bob\" is in group \".x.\"\r\n"
              "bob NOT in group ops\r\n");
}

TEST_F(GroupCheck, WithoutDebugNothingIsLogged) {
    EXPECT_EQ(check("alice.sales.acme", "staff.acme"), 0);
    EXPECT_EQ(check("bob", "staff.acme"), 1);
    EXPECT_EQ(check("carol", "staff.acme"), 1);
    EXPECT_EQ(check("nobody", "staff.acme"), 1);
    EXPECT_FALSE(file_exists(dir.file("helper.log")));
}

TEST_F(GroupCheck, FailedReadKeepsTheConnection) {
    config_debug = 1;
    flag_connected = 1;
    EXPECT_EQ(check("carol", "staff"), 1);
    EXPECT_EQ(flag_connected, 1);
    EXPECT_EQ(log().substr(20), "ncp_f_NDS_READ(Group Membership) failed. carol NOT in group staff\r\n");
}

TEST_F(GroupCheck, FailedResolveDropsALoggedInConnection) {
    config_debug = 1;
    flag_connected = 1;
    EXPECT_EQ(check("nobody", "staff"), 1);
    EXPECT_EQ(flag_connected, 0);
    EXPECT_EQ(conn.sock, -1);
    std::string text = log();
    // Two flushes: the resolve failure with the close, then the final line.
    const std::string first = "failed to resolve nobody. connection to server closed.\r\n";
    const std::string last = "nobody NOT in group staff\r\n";
    ASSERT_EQ(text.size(), 20 + first.size() + 20 + last.size());
    EXPECT_EQ(text.substr(20, first.size()), first);
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    // Anonymous: the connection is kept.
    conn.sock = 7;
    EXPECT_EQ(check("nobody", "staff"), 1);
    EXPECT_EQ(conn.sock, 7);
}

// Hostile read results: the walk must stay inside the bytes the read filled.
TEST_F(GroupCheck, MalformedGroupListsAreReadWithinBounds) {
    fake.raw_read = true;
    struct Case {
        std::vector<uint8_t> bytes;
        size_t used;
    };
    std::vector<uint8_t> good = encode_groups({stored("CN=staff")});
    std::vector<uint8_t> huge_count = good;
    huge_count[0] = huge_count[1] = huge_count[2] = huge_count[3] = 0xFF;
    std::vector<uint8_t> huge_length = good;
    huge_length[4] = huge_length[5] = huge_length[6] = huge_length[7] = 0xFF;
    std::vector<Case> cases = {
        {good, 3},                           // count cut short
        {good, good.size() - 1},             // value cut short: its zero unit is missing
        {huge_length, huge_length.size()},   // length beyond the bytes
        {huge_count, huge_count.size()},     // more values announced than present
        {good, GROUP_BUFFER_SIZE + 100},     // a used size beyond the buffer
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        fake.raw_bytes = cases[i].bytes;
        fake.raw_used = cases[i].used;
        std::memset(group_buffer, 0, sizeof group_buffer);
        EXPECT_EQ(check("bob", "staff"), i == 3 || i == 4 ? 0 : 1) << "case " << i;
    }
}

}  // namespace
