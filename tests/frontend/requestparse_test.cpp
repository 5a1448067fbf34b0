// Request lines taken apart under each setting, and the names a user is
// tried as with a context list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/context.h"
#include "frontend/requestparse.h"
#include "ncpclient/ncpclient.h"

namespace {

// The switches as letters: C concurrency, P percent decoding, R StripRealm,
// D StripDomain.
RequestForm form(const char* letters) {
    const std::string s = letters;
    return RequestForm{s.find('C') != std::string::npos, s.find('P') != std::string::npos,
                       s.find('R') != std::string::npos, s.find('D') != std::string::npos};
}

TEST(RequestParse, LinesUnderEachForm) {
    const struct {
        const char* line;
        const char* form;
        ParseStatus status;
        const char* channel;
        const char* user;
        std::vector<std::string> groups;
    } cases[] = {
        // Without switches: as the request loop has always split a line.
        {"alice staff.acme", "", PARSE_OK, "", "alice", {"staff.acme"}},
        {"alice  staff managers ", "", PARSE_OK, "", "alice", {"staff managers "}},
        {" alice staff", "", PARSE_OK, "", "", {"alice staff"}},
        {"alice ", "", PARSE_OK, "", "alice", {""}},
        {"alice", "", PARSE_NO_BLANK, "", nullptr, {}},
        {"", "", PARSE_NO_BLANK, "", nullptr, {}},
        {"j%C3%BCrgen st%20aff", "", PARSE_OK, "", "j%C3%BCrgen", {"st%20aff"}},
        {"3 alice staff", "", PARSE_OK, "", "3", {"alice staff"}},
        {"ACME%5Calice%40R staff", "RD", PARSE_OK, "", "ACME%5Calice%40R", {"staff"}},
        // Percent decoding: several groups, each decoded.
        {"alice staff managers", "P", PARSE_OK, "", "alice", {"staff", "managers"}},
        {"alice  staff%20team   managers  ", "P", PARSE_OK, "", "alice", {"staff team", "managers"}},
        {"j%C3%BCrgen %C3%9Cberwachung.ops", "P", PARSE_OK, "", "j\xC3\xBCrgen", {"\xC3\x9C" "berwachung.ops"}},
        {"alice%20smith %41%42 %%", "P", PARSE_OK, "", "alice smith", {"AB", "%"}},
        {"alice   ", "P", PARSE_OK, "", "alice", {""}},
        // A decoded NUL would cut the name short: the request is refused.
        {"alice a%00b c", "P", PARSE_REFUSED, "", "alice", {"a%00b", "c"}},
        {"alice.acme%00.x.acme staff", "P", PARSE_REFUSED, "", "alice.acme%00.x.acme", {"staff"}},
        {"alice.acme%00.x.acme staff", "", PARSE_OK, "", "alice.acme%00.x.acme", {"staff"}},
        // Channel IDs.
        {"3 alice staff", "C", PARSE_OK, "3", "alice", {"staff"}},
        {"007 bob g", "C", PARSE_OK, "007", "bob", {"g"}},
        {"12 alice staff managers", "C", PARSE_OK, "12", "alice", {"staff managers"}},
        {"12 alice staff managers", "CP", PARSE_OK, "12", "alice", {"staff", "managers"}},
        {"3  alice staff", "C", PARSE_OK, "3", "", {"alice staff"}},
        {"3 alice", "C", PARSE_NO_BLANK, "3", nullptr, {}},
        {"3", "C", PARSE_NO_BLANK, "3", nullptr, {}},
        {"alice staff", "C", PARSE_NO_CHANNEL, "", nullptr, {}},
        {"3a alice staff", "C", PARSE_NO_CHANNEL, "", nullptr, {}},
        {" 3 alice staff", "C", PARSE_NO_CHANNEL, "", nullptr, {}},
        {"-3 alice staff", "C", PARSE_NO_CHANNEL, "", nullptr, {}},
        {"", "C", PARSE_NO_CHANNEL, "", nullptr, {}},
        // Realms and domains, after decoding; group names are left alone.
        {"alice%40ACME.EXAMPLE staff", "PR", PARSE_OK, "", "alice", {"staff"}},
        {"alice@sales@ACME.EXAMPLE staff", "R", PARSE_OK, "", "alice@sales", {"staff"}},
        {"alice@ACME staff@x", "R", PARSE_OK, "", "alice", {"staff@x"}},
        {"@ACME staff", "R", PARSE_REFUSED, "", "", {"staff"}},  // emptied by stripping
        {"ACME%5Calice staff", "PD", PARSE_OK, "", "alice", {"staff"}},
        {"ACME/alice staff", "D", PARSE_OK, "", "alice", {"staff"}},
        {"ACME\\sub\\alice g\\h", "D", PARSE_OK, "", "sub\\alice", {"g\\h"}},
        {"ACME\\ staff", "D", PARSE_REFUSED, "", "", {"staff"}},
        {"%40ACME staff", "PRD", PARSE_REFUSED, "", "", {"staff"}},
        {"alice staff", "RD", PARSE_OK, "", "alice", {"staff"}},
        {"ACME%5Calice%40ACME.EXAMPLE staff", "PRD", PARSE_OK, "", "alice", {"staff"}},
        {"a@b\\c g", "RD", PARSE_OK, "", "a", {"g"}},  // the realm goes first
        {"3 ACME%5Calice%40R staff%20team managers", "CPRD", PARSE_OK, "3", "alice", {"staff team", "managers"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " [" + c.form + "]");
        char line[REQUEST_SIZE];
        std::snprintf(line, sizeof line, "%s", c.line);
        ParsedRequest r;
        ASSERT_EQ(parse_request(line, form(c.form), &r), c.status);
        EXPECT_STREQ(r.channel, c.channel);
        EXPECT_EQ(r.refused != nullptr, c.status == PARSE_REFUSED);
        if (c.status != PARSE_OK && c.status != PARSE_REFUSED) continue;
        EXPECT_STREQ(r.user, c.user);
        EXPECT_EQ(std::vector<std::string>(r.groups, r.groups + r.group_count), c.groups);
    }
}

TEST(RequestParse, TheMostGroupsALineCanHold) {
    char line[REQUEST_SIZE];
    std::string text = "u";
    while (text.size() + 2 < sizeof line) text += " g";
    std::snprintf(line, sizeof line, "%s", text.c_str());
    ParsedRequest r;
    ASSERT_EQ(parse_request(line, form("P"), &r), PARSE_OK);
    EXPECT_EQ(r.group_count, 255u);
    EXPECT_STREQ(r.groups[254], "g");
}

using Units = std::vector<uint16_t>;

Units units(const std::string& ascii) { return Units(ascii.begin(), ascii.end()); }

ContextList contexts(const char* list) {
    ContextList c;
    EXPECT_EQ(context_list_parse(list, CHARSET_ISO8859_1, &c), CONTEXT_OK) << list;
    return c;
}

std::vector<Units> candidates(const Units& user, const ContextList& list) {
    std::vector<Units> out;
    for (size_t k = 0; k < candidate_count(user, list); ++k) {
        uint16_t name[RESOLVE_NAME_MAX_UNITS];
        size_t n = 99;
        EXPECT_EQ(candidate_name(user, list, k, name, &n), CANDIDATE_OK);
        out.emplace_back(name, name + n);
    }
    return out;
}

TEST(Contexts, ListsAndTheNamesAUserIsTriedAs) {
    const ContextList two = contexts("sales.acme,.ops.acme");
    const ContextList none = contexts("");
    const struct {
        std::string user;
        const ContextList& list;
        std::vector<std::string> names;
    } cases[] = {
        {"alice", two, {"alice.sales.acme", "alice.ops.acme"}},
        {"alice.sales.acme", two, {"alice.sales.acme"}},
        {".alice.sales.acme", two, {"alice.sales.acme"}},
        {".alice", two, {"alice"}},
        {"alice.", two, {"alice."}},
        {"", two, {""}},
        {"alice", none, {"alice"}},
        {".alice.acme", none, {"alice.acme"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        std::vector<Units> want;
        for (const std::string& n : c.names) want.push_back(units(n));
        EXPECT_EQ(candidates(units(c.user), c.list), want);
    }
    // Units beyond one byte stay as they are: \u0141ukasz.
    const Units lukasz = {0x0141, 'u', 'k', 'a', 's', 'z'};
    const std::vector<Units> both = candidates(lukasz, two);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1], (Units{0x0141, 'u', 'k', 'a', 's', 'z', '.', 'o', 'p', 's', '.', 'a', 'c', 'm', 'e'}));

    ContextList bad;
    EXPECT_EQ(context_list_parse("a,", CHARSET_ISO8859_1, &bad), CONTEXT_EMPTY);
    EXPECT_EQ(context_list_parse(",a", CHARSET_ISO8859_1, &bad), CONTEXT_EMPTY);
    EXPECT_EQ(context_list_parse("a,.,b", CHARSET_ISO8859_1, &bad), CONTEXT_EMPTY);
    EXPECT_EQ(bad.count, 0u);
    EXPECT_EQ(context_list_parse(std::string(511, 'x'), CHARSET_ISO8859_1, &bad), CONTEXT_OK);
    EXPECT_EQ(context_list_parse(std::string(512, 'x'), CHARSET_ISO8859_1, &bad), CONTEXT_TOO_LONG);
    EXPECT_EQ(context_list_parse("\xC0\xAF", CHARSET_UTF8, &bad), CONTEXT_INVALID);
}

// A name and context beyond what the resolve request holds is refused, not
// cut; the other contexts are still tried.
TEST(Contexts, CandidatesBeyondTheResolveLimitAreRefusedWhole) {
    const ContextList list = contexts("sales.acme,o");  // 10 units, 1 unit
    uint16_t name[RESOLVE_NAME_MAX_UNITS];
    size_t n = 99;
    const Units fits(RESOLVE_NAME_MAX_UNITS - 11, 'u');  // 122 + '.' + 10 = 133
    EXPECT_EQ(candidate_name(fits, list, 0, name, &n), CANDIDATE_OK);
    EXPECT_EQ(n, RESOLVE_NAME_MAX_UNITS);
    const Units longer(RESOLVE_NAME_MAX_UNITS - 10, 'u');  // 123 + '.' + 10 = 134
    EXPECT_EQ(candidate_name(longer, list, 0, name, &n), CANDIDATE_TOO_LONG);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(candidate_name(longer, list, 1, name, &n), CANDIDATE_OK);  // 123 + '.' + 1
    EXPECT_EQ(n, 125u);
    EXPECT_EQ(candidate_name(longer, list, 2, name, &n), CANDIDATE_NONE);
    const Units dotted(RESOLVE_NAME_MAX_UNITS + 1, '.');
    EXPECT_EQ(candidate_name(dotted, list, 0, name, &n), CANDIDATE_OK);  // leading dot dropped: 133
    EXPECT_EQ(candidate_name(Units(RESOLVE_NAME_MAX_UNITS + 1, 'u'), ContextList{}, 0, name, &n),
              CANDIDATE_TOO_LONG);
}

}  // namespace
