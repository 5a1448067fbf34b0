// The request loop over the real connection manager, group check and client,
// against the test directory server in this process. Debug is on, so the
// helper's log shows which user and group each request checked; the server
// tells what each request cost.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/context.h"
#include "frontend/requestloop.h"
#include "helper_process.h"
#include "tests/frontend/front_end.h"

namespace {

class RequestLoop : public FrontEnd {
protected:
    void SetUp() override {
        FrontEnd::SetUp();
        serve();
        config_debug = 1;
        ASSERT_EQ(make_connection(), 0);
        server->set([](ts::Options&) {});  // what the set-up sent is forgotten
    }
    std::string run(const std::string& input) { return replies(input); }
    // The decision lines of the log: which user and group each check was of.
    std::vector<std::string> decisions() const {
        std::vector<std::string> l;
        for (const std::string& line : log_lines())
            if (line.rfind("DEBUG: ", 0) != 0 && line != "server 127.0.0.1 connected.") l.push_back(line);
        return l;
    }
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
    EXPECT_EQ(decisions(), (std::vector<std::string>{"alice in group staff", "alice in group staff",
                                                     "alice NOT in group staff admins", "alice NOT in group ",
                                                     "failed to resolve .  NOT in group alice staff",
                                                     "failed to resolve alice%09staff. alice%09staff NOT in group x",
                                                     "alice NOT in group staff%0D"}));
}

TEST_F(RequestLoop, NoBlankIsAnInvalidStringWithoutAnyDirectoryRequest) {
    EXPECT_EQ(run("alice\n\nalice\tstaff\n"), "ERR Invalid string\nERR Invalid string\nERR Invalid string\n");
    EXPECT_EQ(run(std::string("alice\0 staff\n", 13) + std::string("al\0ice staff\n", 13)),
              "ERR Invalid string\nERR Invalid string\n");  // a NUL ends the user part
    EXPECT_EQ(server->sent().round_trips(), 0u);
}

TEST_F(RequestLoop, LastLineWithoutLineFeedIsARequest) {
    EXPECT_EQ(run("bob staff\nalice staff"), "ERR\nOK\n");
    EXPECT_EQ(run(""), "");
}

// Decoded names are logged escaped: a decoded line break forges no line.
TEST_F(RequestLoop, PercentDecodingComesAfterTheSplitAndOnlyWhenSwitchedOn) {
    EXPECT_EQ(run("john%20doe staff\n"), "ERR\n");
    config_convertpercent = 1;
    EXPECT_EQ(run("john%20doe st%41ff\n"), "ERR\n");  // group "stAff"
    EXPECT_EQ(run("john%20doe %73taff\n"), "OK\n");
    EXPECT_EQ(run("eve%0D%0A01.01.2030%2000:00:00%20forged staff\n"), "ERR\n");
    EXPECT_EQ(decisions(), (std::vector<std::string>{
                               "failed to resolve john%20doe. john%20doe NOT in group staff",
                               "john doe NOT in group stAff", "john doe in group staff",
                               "failed to resolve eve%0D%0A01.01.2030 00:00:00 forged. "
                               "eve%0D%0A01.01.2030 00:00:00 forged NOT in group staff"}));
}

// A name that decoding would cut at a NUL, or that stripping leaves empty,
// is refused: "ERR" (never "BH"), no directory request, no ping; Debug says
// why. A line that begins with a blank asks for the empty name as always.
TEST_F(RequestLoop, NamesThatWouldBeAskedForAnotherAreRefused) {
    config_convertpercent = config_striprealm = config_stripdomain = 1;
    config_failurereply = FAILURE_REPLY_BH;
    const struct {
        const char* line;
        const char* why;
    } cases[] = {
        {"alice%00.other staff", "user name holds a NUL"},
        {"alice staff%00 x", "group name holds a NUL"},
        {"@REALM staff", "user name empty after stripping"},
        {"ACME%5C staff", "user name empty after stripping"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(run(std::string(c.line) + "\n"), "ERR\n");
        EXPECT_EQ(log_lines().end()[-2], std::string("DEBUG: check failed: ") + c.why);
    }
    EXPECT_EQ(server->sent().round_trips(), 0u);
    EXPECT_EQ(run(" alice staff\n"), "ERR\n");
    EXPECT_EQ(server->sent().letters(), "rp");
}

TEST_F(RequestLoop, OverLongLineIsAnsweredErrWithoutACheckAndNotSplit) {
    std::string fits = "u " + std::string(509, 'g');  // 511 characters
    std::string over = "u " + std::string(510, 'g');  // 512 characters
    std::string huge = "alice staff" + std::string(9000, ' ') + "x";
    EXPECT_EQ(run(fits + "\n" + over + "\n" + huge + "\nalice staff\n"), "ERR\nERR\nERR\nOK\n");
    EXPECT_EQ(decisions().front(), "failed to resolve u. u NOT in group " + std::string(509, 'g'));
    EXPECT_EQ(server->sent().letters(), "rp" "rg");
}

// A negative answer is followed by a ping; when it fails, the connection is
// built again before the next request.
TEST_F(RequestLoop, NegativeAnswerPingsAndReconnectsOnlyWhenThePingFails) {
    EXPECT_EQ(run("alice staff\nbob staff\n"), "OK\nERR\n");
    EXPECT_EQ(server->sent().letters(), "rg" "rgp");
    server->set([](ts::Options& o) { o.bad_ping_length = 0; });
    EXPECT_EQ(run("bob staff\nalice staff\n"), "ERR\nOK\n");
    EXPECT_EQ(server->sent().letters(), "rgp" "cpvrg" "rg");  // a new connection's set-up
    const std::vector<std::string> l = log_lines();
    EXPECT_EQ(count_lines(l, "DEBUG: ping failed: reply not as expected in NCP function 104"), 1u);
    EXPECT_EQ(count_lines(l, "nds ping failed. reconnecting."), 1u);
    EXPECT_EQ(server->wait_for_lines("CLOSED", 1).size(), 1u);
}

// A request the directory could not decide is answered "ERR" as always, or
// with FailureReply BH the proxy's "BH" and the reason; members, non-members
// and unknown users keep their answers either way. (The replies while no
// server can be reached: the end-to-end failover tests.)
TEST_F(RequestLoop, UndecidedRequestsAreAnsweredAsFailureReplySays) {
    const std::string failed = "BH message=\"directory request failed\"\n";
    config_debug = 0;
    for (int32_t reply : {FAILURE_REPLY_ERR, FAILURE_REPLY_BH}) {
        SCOPED_TRACE(reply);
        const bool bh = reply == FAILURE_REPLY_BH;
        config_failurereply = reply;
        EXPECT_EQ(run("alice staff\nbob staff\nnobody staff\n"), "OK\nERR\nERR\n");
        server->set([](ts::Options& o) { o.fail_verb[3] = 0xFFFFFD60; });  // reading groups refused
        EXPECT_EQ(run("alice staff\nnobody staff\n"), (bh ? failed : "ERR\n") + "ERR\n");
        server->set([](ts::Options& o) {  // the connection closed at the next request
            o.fail_verb.clear();
            o.drop_after = 0;
            o.fault_once = true;
        });
        EXPECT_EQ(run("alice staff\n"), bh ? failed : "ERR\n");
        server->set([](ts::Options& o) {
            o.fail_verb.clear();
            o.drop_after = -1;
        });
        EXPECT_EQ(run("alice staff\n"), "OK\n");
    }
}

TEST_F(RequestLoop, StopsWhenRepliesCannotBeWritten) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    const std::string input = "alice staff\nbob staff\nalice staff\n";
    ASSERT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(in[1]);
    serve_requests(in[0], fds[1]);
    close(in[0]);
    close(fds[1]);
    EXPECT_EQ(server->sent().letters(), "rg");  // one check; the rest of the input is not read
}

TEST_F(RequestLoop, EveryLineOfABigInputGetsOneReplyInOrder) {
    config_debug = 0;
    std::string input, expected;
    for (int i = 0; i < 3000; ++i) {
        const int kind = i % 3;
        input += kind == 0 ? "alice staff\n" : kind == 1 ? "alice other\n" : "nobody staff\n";
        expected += kind == 0 ? "OK\n" : "ERR\n";
    }
    EXPECT_EQ(run(input), expected);
}

TEST_F(RequestLoop, RandomBytesGetExactlyOneReplyPerLine) {
    config_convertpercent = 1;
    std::mt19937 rng(12345);
    const char alphabet[] = {' ', ' ', '\n', '\r', '\0', '%', '.', 'a', 'l', 'i', 'c', 'e',
                             's', 't', 'f', '0', 'A', '\t', '\x7F', '\xFF'};
    std::string input;
    for (int i = 0; i < 200000; ++i) {
        if (rng() % 5000 == 0) input += std::string(700 + rng() % 2000, 'z');
        input.push_back(alphabet[rng() % sizeof alphabet]);
    }
    input += "\nalice staff";  // last line without LF
    const std::string out = run(input);
    const auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(out, "\n"), count(input, "\n") + 1);
    EXPECT_EQ(count(out, "OK\n") + count(out, "ERR\n") + count(out, "ERR Invalid string\n"), count(out, "\n"));
    EXPECT_EQ(out.substr(out.size() - 3), "OK\n");
}

// The request forms of today's proxies: channel IDs, several groups, names in
// UTF-8, single-sign-on names completed with name contexts, letter case.
// alice and carol stand in different containers; the names beyond ASCII
// are written in UTF-8.
std::string forms_directory() {
    return "tree ACME\nserver CN=srv.O=acme\ngroup-read logged-in\n"
           "user CN=admin.O=acme\npassword secret\n"
           "user CN=alice.OU=sales.O=acme\nmember CN=staff.OU=sales.O=acme\nmember CN=all.O=acme\n"
           "user CN=carol.OU=ops.O=acme\nmember CN=oncall.OU=ops.O=acme\n"
           "user CN=jürgen.OU=ops.O=acme\nmember CN=Überwachung.OU=ops.O=acme\n"
           "user CN=Дмитрий.OU=ops.O=acme\nmember CN=Дежурные.OU=ops.O=acme\n"
           "user CN=𠮷田.OU=ops.O=acme\nmember CN=oncall.OU=ops.O=acme\n";
}

class RequestForms : public FrontEnd {
protected:
    void SetUp() override {
        FrontEnd::SetUp();
        serve_directory(forms_directory(), [](ts::Options& o) { o.verbose = true; });
        login_as("admin.acme", "secret");
        config_convertpercent = 1;
    }
    void connect() { ASSERT_EQ(make_connection(), 0); }
    void contexts(const char* list) {
        std::snprintf(config_context, sizeof config_context, "%s", list);
        ASSERT_EQ(context_list_parse(config_context, config_charset, &config_contexts), CONTEXT_OK);
    }
};


// With Concurrency every reply carries the request's channel ID; a line
// without one gets a plain "ERR" and no check, as an over-long line does.
TEST_F(RequestForms, ChannelIdsComeBackBeforeEveryReply) {
    config_concurrency = 1;
    config_debug = 1;
    connect();
    const std::string too_long = std::string(134, 'u') + " staff.sales.acme";
    expect_answers({
        {"3 alice.sales.acme staff.sales.acme", "3 OK\n", "rg"},
        {"0 bob.sales.acme staff.sales.acme", "0 ERR\n", "rp"},
        {"007 alice.sales.acme all.acme", "007 OK\n", "rg"},
        {"12 alice.sales.acme", "12 ERR Invalid string\n", ""},
        {"7", "7 ERR Invalid string\n", ""},
        {"alice.sales.acme staff.sales.acme", "ERR\n", ""},
        {"x3 alice.sales.acme staff.sales.acme", "ERR\n", ""},
        {"", "ERR\n", ""},
        {"5 alice.sales.acme " + std::string(600, 'g'), "5 ERR\n", ""},
        {std::string(600, '9') + " alice.sales.acme staff.sales.acme", "ERR\n", ""},
        {"9 " + too_long, "9 ERR\n", "p"},  // never asked for, the connection kept
    });
    config_failurereply = FAILURE_REPLY_BH;
    server->set([](ts::Options& o) { o.fail_verb[3] = 0xFFFFFD60; });  // reading groups refused
    expect_answers({
        {"9 " + too_long, "9 BH message=\"name too long\"\n", "p"},
        {"8 alice.sales.acme staff.sales.acme", "8 BH message=\"directory request failed\"\n", "rgp"},
    });
    const std::vector<std::string> l = log_lines();
    EXPECT_EQ(count_lines(l, "request without a channel ID, answered ERR."), 3u);
    EXPECT_EQ(count_lines(l, "DEBUG: resolve failed: name too long"), 2u);
}

// With ConvertPercent the groups after the user are blank-separated names,
// each decoded; any of them makes a member. Without it the rest of the line
// is one group name.
TEST_F(RequestForms, SeveralGroupsAreAskedWithOneResolveAndOneRead) {
    config_debug = 1;
    connect();
    const struct {
        int32_t percent;
        Ask ask;
        std::string decision;
    } cases[] = {
        {1, {"alice.sales.acme nope.acme all.acme staff.sales.acme", "OK\n", "rg"},
         "alice.sales.acme in group staff.sales.acme"},
        {1, {"alice.sales.acme nope.acme   oncall%2Eops.acme ", "ERR\n", "rgp"},
         "alice.sales.acme NOT in group nope.acme, oncall.ops.acme"},
        {1, {"carol.ops.acme staff.sales.acme oncall.ops.acme", "OK\n", "rg"}, "carol.ops.acme in group oncall.ops.acme"},
        {0, {"alice.sales.acme staff.sales.acme all.acme", "ERR\n", "rgp"},
         "alice.sales.acme NOT in group staff.sales.acme all.acme"},
    };
    for (const auto& c : cases) {
        config_convertpercent = c.percent;
        expect_answers({c.ask});
        EXPECT_EQ(log_lines().back(), c.decision);
    }
}

// Names as the character set reads them: under UTF-8 one character may be
// several bytes, and a name that is not UTF-8 is answered "ERR" without a
// word to the server; auto reads each name by itself. The log shows names in
// UTF-8 unless the set is ISO 8859-1.
TEST_F(RequestForms, NamesAreReadAsTheCharacterSetSays) {
    const std::string latin_user = "j\xFCrgen.ops.acme", latin_group = "\xDC" "berwachung.ops.acme";
    const std::string utf8_user = "j\xC3\xBCrgen.ops.acme", utf8_group = "\xC3\x9C" "berwachung.ops.acme";
    const struct {
        Charset cs;
        Ask ask;
        std::string decision;
    } cases[] = {
        {CHARSET_ISO8859_1, {latin_user + " " + latin_group, "OK\n", "rg"}, latin_user + " in group " + latin_group},
        {CHARSET_ISO8859_1, {utf8_user + " " + utf8_group, "ERR\n", "rp"},
         "failed to resolve " + utf8_user + ". " + utf8_user + " NOT in group " + utf8_group},
        {CHARSET_UTF8, {utf8_user + " " + utf8_group, "OK\n", "rg"}, utf8_user + " in group " + utf8_group},
        {CHARSET_UTF8, {latin_user + " " + utf8_group, "ERR\n", ""}, "j%FCrgen.ops.acme NOT in group " + utf8_group},
        {CHARSET_UTF8, {utf8_user + " " + latin_group, "ERR\n", ""}, utf8_user + " NOT in group %DCberwachung.ops.acme"},
        {CHARSET_UTF8, {"\xC0\xAF.ops.acme all.acme", "ERR\n", ""}, "%C0%AF.ops.acme NOT in group all.acme"},
        {CHARSET_UTF8, {"Дмитрий.ops.acme Дежурные.ops.acme", "OK\n", "rg"},
         "Дмитрий.ops.acme in group Дежурные.ops.acme"},
        {CHARSET_UTF8, {"𠮷田.ops.acme oncall.ops.acme", "OK\n", "rg"}, "𠮷田.ops.acme in group oncall.ops.acme"},
        {CHARSET_AUTO, {latin_user + " " + latin_group, "OK\n", "rg"}, utf8_user + " in group " + utf8_group},
        {CHARSET_AUTO, {utf8_user + " " + latin_group, "OK\n", "rg"}, utf8_user + " in group " + utf8_group},
        {CHARSET_AUTO, {"Дмитрий.ops.acme Дежурные.ops.acme", "OK\n", "rg"},
         "Дмитрий.ops.acme in group Дежурные.ops.acme"},
    };
    config_debug = 1;
    connect();
    for (const auto& c : cases) {
        config_charset = c.cs;
        expect_answers({c.ask});
        EXPECT_EQ(log_lines().back(), c.decision);
    }
    EXPECT_EQ(count_lines(log_lines(), "DEBUG: Object \"Дмитрий.ops.acme\" is in group \".Дежурные.ops.acme\""), 2u);
    EXPECT_EQ(count_lines(log_lines(), "DEBUG: check failed: user name not UTF-8"), 2u);
    EXPECT_EQ(count_lines(log_lines(), "DEBUG: check failed: group name not UTF-8"), 1u);
}

// Kerberos and NTLM names: the realm and the domain stripped, a name
// without a '.' tried in each context in turn; "no such entry" moves on to
// the next one over the same connection, so the run needs one login.
TEST_F(RequestForms, SingleSignOnNamesAreFoundThroughContextsOverOneLogin) {
    config_striprealm = 1;
    config_stripdomain = 1;
    contexts("sales.acme,ops.acme");
    connect();
    expect_answers({
        {"alice staff.sales.acme", "OK\n", "rg"},
        {"alice@ACME.EXAMPLE staff.sales.acme", "OK\n", "rg"},
        {"ACME%5Calice all.acme", "OK\n", "rg"},
        {"ACME/carol@ACME.EXAMPLE oncall.ops.acme", "OK\n", "rrg"},
        {"carol staff.sales.acme", "ERR\n", "rrgp"},
        {"nobody all.acme", "ERR\n", "rrp"},
        {"alice.sales.acme all.acme", "OK\n", "rg"},
        {"carol.sales.acme all.acme", "ERR\n", "rp"},  // a name with a '.' as it stands
        {std::string(124, 'u') + " all.acme", "ERR\n", "rp"},  // only u...u.ops.acme fits a resolve
        {std::string(125, 'u') + " all.acme", "ERR\n", "p"},   // none does: nothing asked
    });
    config_debug = 1;
    expect_answers({{"nobody all.acme", "ERR\n", "rrp"}});
    const std::vector<std::string> l = log_lines();
    EXPECT_EQ(std::vector<std::string>(l.end() - 4, l.end()),
              (std::vector<std::string>{"DEBUG: resolve failed: NDS error -601 from verb 1",
                                        "failed to resolve nobody.sales.acme. ",
                                        "DEBUG: resolve failed: NDS error -601 from verb 1",
                                        "failed to resolve nobody.ops.acme. nobody NOT in group all.acme"}));
}

// IgnoreCase folds ASCII and ISO 8859-1 letters, and under UTF-8 and auto
// those of Latin Extended, Greek and Cyrillic as well.
TEST_F(RequestForms, IgnoreCaseFoldsTheLettersOfTheCharacterSet) {
    const struct {
        Charset cs;
        int32_t ignore;
        Ask ask;
    } cases[] = {
        {CHARSET_ISO8859_1, 0, {"alice.sales.acme STAFF.Sales.acme", "ERR\n", "rgp"}},
        {CHARSET_ISO8859_1, 1, {"alice.sales.acme STAFF.Sales.acme", "OK\n", "rg"}},
        {CHARSET_ISO8859_1, 1, {"j\xFCrgen.ops.acme \xFC" "BERWACHUNG.ops.acme", "OK\n", "rg"}},
        {CHARSET_UTF8, 0, {"Дмитрий.ops.acme дежурные.ops.acme", "ERR\n", "rgp"}},
        {CHARSET_UTF8, 1, {"Дмитрий.ops.acme дежурные.OPS.acme", "OK\n", "rg"}},
        {CHARSET_AUTO, 1, {"j\xFCrgen.ops.acme \xC3\xBC" "berwachung.ops.acme", "OK\n", "rg"}},
    };
    connect();
    for (const auto& c : cases) {
        config_charset = c.cs;
        config_ignorecase = c.ignore;
        expect_answers({c.ask});
    }
}


// A re-login refused once (a password changed and changed back, a lock-out
// lifted) on a tree where only logged-in connections read groups: the
// refused connection is closed, so the helper tries again after the
// back-off instead of staying on a connection that reads nothing.
TEST_F(FrontEnd, RefusedReloginIsRecoveredAfterTheBackoff) {
    serve({}, false);
    login_as("admin.acme", "secret");
    config_debug = 1;
    ASSERT_EQ(make_connection(), 0);
    EXPECT_EQ(replies("alice staff\n"), "OK\n");
    server->set([](ts::Options& o) {  // the connection closed, the next login refused
        o.drop_after = 0;
        o.fault_once = true;
        o.fail_verb[58] = 0xFFFFFD63;  // -669
    });
    EXPECT_EQ(replies("alice staff\n"), "ERR\n");
    EXPECT_EQ(conn.sock, -1);
    server->set([](ts::Options& o) {
        o.drop_after = -1;
        o.fail_verb.clear();
    });
    EXPECT_EQ(replies_until_ok("alice staff\n"), "OK\n");
    const std::vector<std::string> l = log_lines();
    const std::string port = std::to_string(config_port);
    EXPECT_EQ(count_lines(l, "login failed on 127.0.0.1:" + port + "."), 1u);
    EXPECT_EQ(count_lines(l, "DEBUG: login failed: NDS error -669 from verb 58"), 1u);
    // The lost connection, then the refused last try: 2 s.
    EXPECT_EQ(count_lines(l, "no directory server reachable, next try in 2 s."), 1u);
    EXPECT_EQ(count_lines(l, "server 127.0.0.1 connected."), 2u);
}

// Every exchange ends within Timeout, whatever the server sends or
// withholds: a reply trickling in is given up (a wait renewed by every byte
// would take it whole), one slow but within Timeout still counts. So what a
// request costs is told by its exchanges and by those that timed out: at
// most two, and it is answered within 2 x Timeout + 1 s.
TEST_F(FrontEnd, WaitsAreBoundedWhateverTheServerDoes) {
    struct Case {
        const char* what;
        DirectoryServer::Setup fault;
        const char* reply;
        const char* sent;  // Sent::letters
        std::vector<std::string> timed_out;
        const char* request = "alice staff\n";
    } cases[] = {
        {"a byte every 300 ms", [](ts::Options& o) { o.trickle_ms = 300; }, "ERR\n", "r",
         {"DEBUG: resolve failed: time-out in verb 1"}},
        {"no answer any more", [](ts::Options& o) { o.hang_after = 0; }, "ERR\n", "rc",
         {"DEBUG: resolve failed: time-out in verb 1", "DEBUG: set-up failed: time-out in the create request"}},
        {"each reply 600 ms late", [](ts::Options& o) { o.reply_delay_ms = 600; }, "OK\n", "rg", {}},
        // The check's connection and a new one's login in its second step.
        {"no answer after the login's first step", [](ts::Options& o) { o.hang_after = 7; }, "ERR\n",
         "r" "cpvrg" "rLv", {"DEBUG: resolve failed: time-out in verb 1", "DEBUG: login failed: time-out in verb 58"}},
        // A check and its ping share Timeout + 1 s, a new connection's set-up Timeout.
        {"each reply 700 ms late, to a non-member's check and ping", [](ts::Options& o) { o.reply_delay_ms = 700; },
         "ERR\n", "rgp" "cp",
         {"DEBUG: ping failed: time-out in NCP function 104", "DEBUG: set-up failed: time-out in NCP function 104"},
         "bob staff\n"},
    };
    serve();
    login_as("admin.acme", "secret");
    config_timeout = 1;
    config_debug = 1;
    ASSERT_EQ(make_connection(), 0);
    const auto healthy = [](ts::Options& o) {
        o.trickle_ms = 0;
        o.hang_after = -1;
        o.reply_delay_ms = 0;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file("helper.log").c_str());
        server->set(c.fault);
        EXPECT_EQ(replies(c.request), c.reply);
        EXPECT_EQ(server->sent().letters(), c.sent);
        std::vector<std::string> timed_out;
        for (const std::string& l : log_lines())
            if (l.find("time-out") != std::string::npos) timed_out.push_back(l);
        EXPECT_EQ(timed_out, c.timed_out);
        server->set(healthy);
        EXPECT_EQ(replies_until_ok("alice staff\n"), "OK\n");
    }
}

}  // namespace
