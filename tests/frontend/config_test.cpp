#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "frontend/config.h"
#include "frontend/log.h"
#include "frontend/progname.h"
#include "helper_process.h"
#include "tests/frontend/front_end.h"

namespace {

std::string derived(const std::string& name, size_t limit, const char* ext) {
    char out[1100];
    if (derive_file_name(name.c_str(), limit, ext, out, sizeof out) != 0) return "<too long>";
    return out;
}

TEST(FileNames, CutAtTheLastDotUnlessTheNameBeginsWithOne) {
    EXPECT_EQ(derived("/etc/proxy/groups", 511, ".conf"), "/etc/proxy/groups.conf");
    EXPECT_EQ(derived("/opt/x.d/check", 511, ".conf"), "/opt/x.conf");
    EXPECT_EQ(derived("./check", 511, ".conf"), "./check.conf");
    EXPECT_EQ(derived("./check.bin", 511, ".conf"), "./check.bin.conf");
    EXPECT_EQ(derived("/var/log/proxy/check", 255, ".log"), "/var/log/proxy/check.log");
    EXPECT_EQ(derived("check.bin", 255, ".log"), "check.log");
    EXPECT_EQ(derived(".hidden", 255, ".log"), ".hidden.log");
    EXPECT_EQ(derived("", 255, ".log"), ".log");
    // The dot rule applies to the part of the name that is used.
    std::string longname = std::string(300, 'c') + ".bin";
    EXPECT_EQ(derived(longname, 511, ".conf"), std::string(300, 'c') + ".conf");
    EXPECT_EQ(derived(longname, 255, ".log"), std::string(255, 'c') + ".log");
}

TEST(FileNames, OutputTooSmallFailsInsteadOfOverrunning) {
    char out[8];
    EXPECT_NE(derive_file_name("abcdef", 511, ".conf", out, sizeof out), 0);
}

TEST(ProgramName, ArgumentWinsOverInvocationNameAndIsCut) {
    std::string a0 = "/usr/lib/squid/wrenacl", a1 = "/etc/proxy/groups";
    char* one[] = {a0.data(), nullptr};
    set_program_name(1, one);
    EXPECT_STREQ(myname, "/usr/lib/squid/wrenacl");
    char* two[] = {a0.data(), a1.data(), nullptr};
    set_program_name(2, two);
    EXPECT_STREQ(myname, "/etc/proxy/groups");
    std::string huge(600, 'n');
    char* big[] = {a0.data(), huge.data(), nullptr};
    set_program_name(2, big);
    EXPECT_EQ(std::string(myname), std::string(511, 'n'));
    char* none[] = {nullptr};
    set_program_name(0, none);
    EXPECT_STREQ(myname, "");
}

TEST(SplitLineToTokens, BlanksOnlySeparateAndTheCountIsBounded) {
    char a[] = "  Port   1524  ";
    char* t[8];
    ASSERT_EQ(splitlinetotokens(a, t, 8), 2);
    EXPECT_STREQ(t[0], "Port");
    EXPECT_STREQ(t[1], "1524");

    char b[] = "key\tvalue other";
    ASSERT_EQ(splitlinetotokens(b, t, 8), 2);
    EXPECT_STREQ(t[0], "key\tvalue");

    char c[] = "1 2 3 4 5 6 7 8 9 10";
    ASSERT_EQ(splitlinetotokens(c, t, 8), 8);
    EXPECT_STREQ(t[7], "8");  // the eighth token ends at its blank

    char d[] = "    ";
    EXPECT_EQ(splitlinetotokens(d, t, 8), 0);
    char e[] = "";
    EXPECT_EQ(splitlinetotokens(e, t, 8), 0);
}

class ReadConfig : public ::testing::Test {
protected:
    void SetUp() override {
        config_reset();
        use_program_name(dir.file("helper.bin"));
    }
    void TearDown() override { config_reset(); }
    int read(const std::string& content) {
        write_file(dir.file("helper.conf"), content);
        return readconfig();
    }
    TempDir dir;
};

TEST_F(ReadConfig, MissingFileFailsAndChangesNothing) {
    config_port = 1;
    EXPECT_EQ(readconfig(), 1);
    EXPECT_EQ(config_port, 1);
}

TEST_F(ReadConfig, EmptyFileKeepsTheDefaults) {
    ASSERT_EQ(read(""), 0);
    EXPECT_EQ(config_concurrency, 0);
    EXPECT_EQ(config_charset, CHARSET_ISO8859_1);
    EXPECT_EQ(config_striprealm, 0);
    EXPECT_EQ(config_stripdomain, 0);
    EXPECT_EQ(config_ignorecase, 0);
    EXPECT_EQ(config_contexts.count, 0u);
    EXPECT_FALSE(file_exists(dir.file("helper.log")));
    EXPECT_STREQ(config_server, "");
    EXPECT_EQ(config_port, 524);
    EXPECT_STREQ(config_user, "");
    EXPECT_STREQ(config_password, "");
    EXPECT_EQ(config_convertpercent, 0);
    EXPECT_EQ(config_debug, 0);
    EXPECT_EQ(config_timeout, 20);
}

TEST_F(ReadConfig, KeysIgnoreCaseAndValuesAreVerbatim) {
    ASSERT_EQ(read("SERVER 10.1.1.5\n"
                   "searchuser admin%1\n"
                   "SearchPass Se;cr#et\n"
                   "  Port   1524  \n"
                   "Timeout 7\n"),
              0);
    EXPECT_STREQ(config_server, "10.1.1.5");
    EXPECT_STREQ(config_user, "admin%1");
    EXPECT_STREQ(config_password, "Se;cr#et");
    EXPECT_EQ(config_port, 1524);
    EXPECT_EQ(config_timeout, 7);
}

TEST_F(ReadConfig, PortAndTimeoutAreReadLikeAtoi) {
    struct Case {
        const char* value;
        int32_t port;
        int32_t timeout;
    } cases[] = {
        {"0", 524, 20},    {"abc", 524, 20}, {"600x", 600, 600},        {"-1", -1, 20},
        {"70000", 70000, 70000}, {"+25", 25, 25}, {"\t33", 33, 33},
    };
    for (const Case& c : cases) {
        config_reset();
        ASSERT_EQ(read(std::string("Port ") + c.value + "\nTimeout " + c.value + "\n"), 0);
        EXPECT_EQ(config_port, c.port) << c.value;
        EXPECT_EQ(config_timeout, c.timeout) << c.value;
    }
}

TEST_F(ReadConfig, LinesWithOtherThanTwoTokensAndUnknownKeysAreIgnored) {
    ASSERT_EQ(read("Server 10.1.1.5\n"
                   "SearchPass two words\n"
                   "Server\n"
                   " # x\n"
                   "Colour blue\n"),
              0);
    EXPECT_STREQ(config_server, "10.1.1.5");
    EXPECT_STREQ(config_password, "");
}

TEST_F(ReadConfig, CommentsCountOnlyByTheirFirstByte) {
    ASSERT_EQ(read("# Server 10.1.1.1\n"
                   ";Server 10.1.1.2\n"
                   "Port 1\n"
                   " ;Port 2\n"),  // blank first: key ";Port" is unknown
              0);
    EXPECT_STREQ(config_server, "");
    EXPECT_EQ(config_port, 1);
}

TEST_F(ReadConfig, SwitchesOnlyTurnOnAndTheLastTextWins) {
    ASSERT_EQ(read("Debug yes\nDebug No\nConvertPercent YES\nConvertPercent ja\n"), 0);
    EXPECT_EQ(config_debug, 1);
    EXPECT_EQ(config_convertpercent, 1);
    config_reset();
    ASSERT_EQ(read("Debug Yess\nConvertPercent 1\nServer a\nServer b\n"), 0);
    EXPECT_EQ(config_debug, 0);
    EXPECT_EQ(config_convertpercent, 0);
    EXPECT_STREQ(config_server, "b");  // text values: the last one wins
}

TEST_F(ReadConfig, LineAssembly) {
    // CR anywhere is dropped; a last line without LF does not count.
    ASSERT_EQ(read("Ser\rver 10.1.1.5\r\nPort 99\r\nSearchUser lost"), 0);
    EXPECT_STREQ(config_server, "10.1.1.5");
    EXPECT_EQ(config_port, 99);
    EXPECT_STREQ(config_user, "");
    config_reset();
    ASSERT_EQ(read("Server 10.1.1.5"), 0);
    EXPECT_STREQ(config_server, "");
}

TEST_F(ReadConfig, LongLinesAreSplitAt1023BytesAndValuesCutTo126) {
    // 1023 stored bytes end a line; what follows is read as the next line.
    std::string filler = "x" + std::string(1021, ' ');  // 1022 bytes, one token
    ASSERT_EQ(read(filler + "QServer 10.9.9.9\n"), 0);  // "Q" is byte 1023
    EXPECT_STREQ(config_server, "10.9.9.9");             // "Server 10.9.9.9" is the next line
    config_reset();
    ASSERT_EQ(read(filler + "\n" + "SearchUser " + std::string(200, 's') + "\n"), 0);
    EXPECT_EQ(std::string(config_user), std::string(126, 's'));
    // A server list is never cut: a cut entry could name another server.
    std::string list;
    while (list.size() < 1000) list += "10.1.1." + std::to_string(list.size() % 250) + ",";
    list.pop_back();
    config_reset();
    ASSERT_EQ(read("Server " + list + "\n"), 0);
    EXPECT_EQ(std::string(config_server), list);
}

// A value that cannot be used is logged and leaves the reply as it was.
TEST_F(ReadConfig, FailureReplyIsErrOrBh) {
    struct Case {
        const char* lines;
        int32_t reply;
        std::vector<std::string> log;
    } cases[] = {
        {"", FAILURE_REPLY_ERR, {}},
        {"FailureReply BH\n", FAILURE_REPLY_BH, {}},
        {"failurereply bh\n", FAILURE_REPLY_BH, {}},
        {"FailureReply BH\nFailureReply ERR\n", FAILURE_REPLY_ERR, {}},
        {"FailureReply BH\nFailureReply OK\n", FAILURE_REPLY_BH, {"config: unknown value OK for FailureReply, ignored."}},
        {"FailureReply B H\n", FAILURE_REPLY_ERR, {}},  // three words: not a setting
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        config_reset();
        std::remove(dir.file("helper.log").c_str());
        ASSERT_EQ(read(c.lines), 0);
        EXPECT_EQ(config_failurereply, c.reply);
        EXPECT_EQ(log_lines_of(read_file(dir.file("helper.log"))), c.log);
    }
}

// The keys of the request forms. Values ignore letter case; a value that
// cannot be used is logged and leaves the setting as an earlier line left
// it; "No" is understood and changes nothing, as for the older switches.
TEST_F(ReadConfig, RequestFormKeysAndTheirUnusableValues) {
    struct Case {
        const char* file;
        int32_t concurrency, striprealm, stripdomain, ignorecase;
        Charset charset;
        size_t contexts;
        std::vector<std::string> log;
    } cases[] = {
        {"Concurrency Yes\nStripRealm yes\nStripDomain YES\nIgnoreCase Yes\n", 1, 1, 1, 1, CHARSET_ISO8859_1, 0, {}},
        {"Concurrency Yes\nConcurrency No\nIgnoreCase no\n", 1, 0, 0, 0, CHARSET_ISO8859_1, 0, {}},
        {"concurrency 4\nStripRealm true\nStripDomain 1\nIgnoreCase on\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 0,
         {"config: unknown value 4 for Concurrency, ignored.", "config: unknown value true for StripRealm, ignored.",
          "config: unknown value 1 for StripDomain, ignored.", "config: unknown value on for IgnoreCase, ignored."}},
        {"Charset UTF-8\n", 0, 0, 0, 0, CHARSET_UTF8, 0, {}},
        {"CHARSET utf-8\nCharset Auto\n", 0, 0, 0, 0, CHARSET_AUTO, 0, {}},
        {"Charset auto\nCharset iso-8859-1\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 0, {}},
        {"Charset UTF-8\nCharset latin1\nCharset utf8\n", 0, 0, 0, 0, CHARSET_UTF8, 0,
         {"config: unknown value latin1 for Charset, ignored.", "config: unknown value utf8 for Charset, ignored."}},
        {"Charset x\x01y\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 0, {"config: unknown value x%01y for Charset, ignored."}},
        {"Context sales.acme,.ops.acme\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 2, {}},
        {"Context a.acme\nContext b.acme,c.acme,d.acme\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 3, {}},
        {"Context a.acme\nContext sales.acme,,ops.acme\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 1,
         {"config: Context sales.acme,,ops.acme ignored (an empty context)."}},
        {"Context .\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 0, {"config: Context . ignored (an empty context)."}},
        {"Context a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q\n", 0, 0, 0, 0, CHARSET_ISO8859_1, 0,
         {"config: Context a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q ignored (more than 16 contexts)."}},
        // The list is read once the whole file is known: Charset may follow it.
        {"Context \xC3\x9C" "berwachung.acme\nCharset UTF-8\n", 0, 0, 0, 0, CHARSET_UTF8, 1, {}},
        // A value is logged as SearchUser is, under the character set the
        // file sets, whichever line comes first.
        {"Charset UTF-8\nContext j\xFCrgen.acme\n", 0, 0, 0, 0, CHARSET_UTF8, 0,
         {"config: Context j%FCrgen.acme ignored (not UTF-8)."}},
        {"Concurrency j\xFC\nCharset UTF-8\nContext a,,\xFC\n", 0, 0, 0, 0, CHARSET_UTF8, 0,
         {"config: unknown value j%FC for Concurrency, ignored.", "config: Context a,,%FC ignored (an empty context)."}},
        {"Charset auto\nContext j\xFCrgen.acme\n", 0, 0, 0, 0, CHARSET_AUTO, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        config_reset();
        std::remove(dir.file("helper.log").c_str());
        ASSERT_EQ(read(c.file), 0);
        EXPECT_EQ(config_concurrency, c.concurrency);
        EXPECT_EQ(config_striprealm, c.striprealm);
        EXPECT_EQ(config_stripdomain, c.stripdomain);
        EXPECT_EQ(config_ignorecase, c.ignorecase);
        EXPECT_EQ(config_charset, c.charset);
        EXPECT_EQ(config_contexts.count, c.contexts);
        EXPECT_EQ(log_lines_of(read_file(dir.file("helper.log"))), c.log);
        EXPECT_EQ(llen, 0);
    }
    // The contexts as units: one leading dot dropped, UTF-8 read as such.
    config_reset();
    ASSERT_EQ(read("Charset UTF-8\nContext .\xC3\x9C" "b.acme,ops\n"), 0);
    ASSERT_EQ(config_contexts.count, 2u);
    const std::vector<uint16_t> first(config_contexts.units + config_contexts.start[0],
                                      config_contexts.units + config_contexts.start[0] + config_contexts.length[0]);
    EXPECT_EQ(first, (std::vector<uint16_t>{0x00DC, 'b', '.', 'a', 'c', 'm', 'e'}));
    EXPECT_EQ(config_contexts.length[1], 3u);

    // A list longer than 511 bytes is not cut: the one before it stays.
    config_reset();
    std::remove(dir.file("helper.log").c_str());
    ASSERT_EQ(read("Context a.acme\nContext " + std::string(512, 'x') + "\n"), 0);
    EXPECT_EQ(config_contexts.count, 1u);
    EXPECT_STREQ(config_context, "a.acme");
    EXPECT_EQ(log_lines_of(read_file(dir.file("helper.log"))),
              std::vector<std::string>{"config: Context " + std::string(512, 'x') + " ignored (longer than 511 bytes)."});
}

// The example configuration (the Debian package's as installed) sets every
// request form to its default without a complaint in the log.
TEST_F(ReadConfig, ExampleConfigurationKeepsTheDefaultsQuietly) {
    ASSERT_EQ(read(read_file(EXAMPLES_DIR "/wrenacl.conf.example")), 0);
    EXPECT_STREQ(config_server, "10.1.1.5");
    EXPECT_EQ(config_convertpercent, 1);
    EXPECT_EQ(config_concurrency + config_striprealm + config_stripdomain + config_ignorecase, 0);
    EXPECT_EQ(config_charset, CHARSET_ISO8859_1);
    EXPECT_EQ(config_contexts.count, 0u);
    EXPECT_EQ(read_file(dir.file("helper.log")), "");
}

TEST_F(ReadConfig, ReadErrorFailsInsteadOfLooping) {
    ASSERT_EQ(mkdir(dir.file("helper.conf").c_str(), 0700), 0);  // open works, read fails
    EXPECT_EQ(readconfig(), 1);
}

}  // namespace
