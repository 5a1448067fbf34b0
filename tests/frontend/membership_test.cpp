// Where membership is found: every batch of a read (a server hands a long
// list out in several), and under Membership group or either the requested
// group's "Member". What the server was sent shows the reads: r a resolve,
// g a read, p a ping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "helper_process.h"
#include "tests/frontend/front_end.h"

namespace {

// alice is in 25 groups g1..g25, many in 700 groups with long names; bob is
// listed only by the group ldap, carol only lists it, dave both ways.
std::string membership_directory() {
    std::string d = "tree ACME\nserver CN=srv.O=acme\ngroup-read anyone\n"
                    "user CN=alice.OU=sales.O=acme\n";
    for (int i = 1; i <= 25; ++i) d += "member CN=g" + std::to_string(i) + ".O=acme\n";
    d += "user CN=many.O=acme\n";
    for (int i = 1; i <= 700; ++i) d += "member CN=project-group-number-" + std::to_string(i) + ".OU=eng.O=acme\n";
    d += "user CN=bob.OU=sales.O=acme\nmember-on-group CN=ldap.O=acme\n"
         "user CN=carol.OU=sales.O=acme\nmember-on-user CN=ldap.O=acme\n"
         "user CN=dave.OU=sales.O=acme\nmember CN=ldap.O=acme\n"
         "group CN=nobody-in-it.O=acme\n";
    return d;
}

class Membership : public FrontEnd {
protected:
    void SetUp() override {
        FrontEnd::SetUp();
        serve_directory(membership_directory());
        config_convertpercent = 1;
        config_failurereply = FAILURE_REPLY_BH;
        ASSERT_EQ(make_connection(), 0);
    }
    // The asks with the server's reads as setup makes them, nothing else.
    void expect_with(const DirectoryServer::Setup& setup, const std::vector<Ask>& asks) {
        expect_answers(asks, [&](ts::Options& o) {
            o.read_batch = 0;
            o.read_fault = ts::ReadFault::None;
            o.fail_verb.clear();
            if (setup) setup(o);
        });
    }
};

const std::string kFailed = "BH message=\"directory request failed\"\n";

// A member found in the first batch costs no further read; one in the last
// costs all of them; "not a member" only once the list is complete.
TEST_F(Membership, EveryBatchOfAReadIsAskedForUntilTheMatch) {
    const auto ten = [](ts::Options& o) { o.read_batch = 10; };
    expect_with(ten, {
        {"alice.sales.acme g3.acme", "OK\n", "rg"},
        {"alice.sales.acme g25.acme", "OK\n", "rggg"},
        {"alice.sales.acme nope.acme g12.acme", "OK\n", "rgg"},
        {"alice.sales.acme nope.acme", "ERR\n", "rgggp"},
    });
    // As many whole values as fit the reply buffer: 700 long names, 3 replies.
    expect_with({}, {
        {"many.acme project-group-number-700.eng.acme", "OK\n", "rggg"},
        {"many.acme project-group-number-650.eng.acme", "OK\n", "rgg"},
        {"many.acme project-group-number-1.eng.acme", "OK\n", "rg"},
    });
    // Handles a client cannot follow end the read undecided.
    config_debug = 1;
    const struct {
        ts::ReadFault fault;
        std::string sent;
        const char* why;
    } hostile[] = {
        {ts::ReadFault::Repeat, "rggp", "an iteration handle handed out twice"},
        {ts::ReadFault::Empty, "rggp", "a batch without values before the last"},
        {ts::ReadFault::Endless, "r" + std::string(1000, 'g') + "p", "more than 1000 batches"},
    };
    for (const auto& h : hostile) {
        expect_with([&](ts::Options& o) {
            o.read_batch = 10;
            o.read_fault = h.fault;
        }, {{"alice.sales.acme nope.acme", kFailed, h.sent}});
        const std::vector<std::string> l = log_lines();
        EXPECT_EQ(count_lines(l, std::string("DEBUG: read failed: ") + h.why + " in verb 3"), 1u) << h.why;
    }
}

// Membership user (the user's list), group (the group's "Member") and
// either: one resolve and one read per group asked, until a match. On the
// group side names compare as the directory compares them.
TEST_F(Membership, UserGroupOrEitherSide) {
    const struct {
        ::Membership where;
        DirectoryServer::Setup setup;
        std::vector<Ask> asks;
    } cases[] = {
        {MEMBERSHIP_USER, {}, {
            {"bob.sales.acme ldap.acme", "ERR\n", "rgp"},
            {"carol.sales.acme ldap.acme", "OK\n", "rg"},
            {"dave.sales.acme ldap.acme", "OK\n", "rg"},
        }},
        {MEMBERSHIP_GROUP, {}, {
            {"bob.sales.acme ldap.acme", "OK\n", "rrg"},
            {"carol.sales.acme ldap.acme", "ERR\n", "rrgp"},
            {"dave.sales.acme ldap.acme", "OK\n", "rrg"},
            {"bob.sales.acme no-such.acme nobody-in-it.acme .ldap.acme", "OK\n", "rrrgrg"},
            {"BOB.Sales.ACME LDAP.acme", "OK\n", "rrg"},
            {"CN=bob.OU=sales.O=acme CN=ldap.O=acme", "OK\n", "rrg"},
            {"nobody.acme ldap.acme", "ERR\n", "rp"},
        }},
        {MEMBERSHIP_GROUP, [](ts::Options& o) { o.read_batch = 1; }, {
            {"dave.sales.acme ldap.acme", "OK\n", "rrgg"},
        }},
        {MEMBERSHIP_EITHER, {}, {
            {"bob.sales.acme ldap.acme", "OK\n", "rgrg"},
            {"carol.sales.acme ldap.acme", "OK\n", "rg"},
            {"alice.sales.acme ldap.acme", "ERR\n", "rgrgp"},
        }},
        {MEMBERSHIP_EITHER, [](ts::Options& o) { o.fail_verb[3] = 0xFFFFFDA5; }, {  // -603: no list
            {"bob.sales.acme ldap.acme", "ERR\n", "rgrgp"},
        }},
        {MEMBERSHIP_EITHER, [](ts::Options& o) { o.fail_verb[3] = 0xFFFFFD60; }, {  // -672: undecided
            {"bob.sales.acme ldap.acme", kFailed, "rgp"},
        }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        config_membership = c.where;
        expect_with(c.setup, c.asks);
    }
    config_debug = 1;
    config_membership = MEMBERSHIP_GROUP;
    expect_with({}, {{"bob.sales.acme no-such.acme ldap.acme", "OK\n", "rrrg"}});
    const std::vector<std::string> l = log_lines();
    EXPECT_EQ(std::vector<std::string>(l.end() - 3, l.end()),
              (std::vector<std::string>{"DEBUG: group \"no-such.acme\" not found",
                                        "DEBUG: group \"ldap.acme\": 1 members read, \"bob.sales.acme\" among them",
                                        "bob.sales.acme in group ldap.acme"}));
}

}  // namespace
