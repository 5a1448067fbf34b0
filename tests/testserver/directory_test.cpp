// The directory-file parser and name matching.
#include <gtest/gtest.h>

#include "testserver/directory.h"
#include "testserver/names.h"

using namespace ts;

namespace {

std::vector<DnPart> dn(std::u16string_view text) {
    std::vector<DnPart> p;
    EXPECT_TRUE(parse_dn(text, p)) << units_to_utf8(text);
    return p;
}

const char* kHead = "tree T\nserver CN=S.O=o\n";

std::string error_of(const std::string& text) {
    Directory d;
    std::string error;
    EXPECT_FALSE(parse_directory(text, d, error)) << text;
    return error;
}

}  // namespace

TEST(DirectoryFile, ExampleFileParsesWithBlanksQuotesAndLatin1Names) {
    Directory d;
    std::string error;
    ASSERT_TRUE(load_directory(EXAMPLES_DIR "/directory.txt", d, error)) << error;
    EXPECT_EQ(d.tree, "ACME_TREE");
    EXPECT_EQ(dn_text(d.server), "CN=WREN1.O=acme");
    EXPECT_FALSE(d.anyone_reads_groups);
    ASSERT_EQ(d.users.size(), 9u);
    EXPECT_EQ(d.users[1].password, "secret");
    ASSERT_EQ(d.users[1].groups.size(), 2u);
    EXPECT_EQ(dn_format(d.users[1].groups[0]), u"CN=staff.OU=sales.O=acme");
    EXPECT_EQ(dn_format(d.users[2].name), u"CN=Ann Smith.OU=sales.O=acme");
    EXPECT_EQ(d.users[2].password, "  blanks at both ends  ");
    // UTF-8 in the file becomes code units: \u00fc is the one unit 0x00FC.
    EXPECT_EQ(d.users[3].name[0].value, (std::u16string{u'j', 0x00FC, u'r', u'g', u'e', u'n'}));
    EXPECT_EQ(d.users[3].password, "");
    EXPECT_EQ(dn_format(d.users[3].groups[0]), u"CN=\u00DCberwachung.OU=ops.O=acme");
    // The same name in another container; beyond ISO 8859-1 and beyond U+FFFF
    // (U+20BB7 is the pair D842 DFB7).
    EXPECT_EQ(dn_format(d.users[4].name), u"CN=alice.OU=ops.O=acme");
    EXPECT_EQ(d.users[5].name[0].value, (std::u16string{0x0141, u'u', u'k', u'a', u's', u'z'}));
    EXPECT_EQ(d.users[6].name[0].value, (std::u16string{0x0414, 0x043C, 0x0438, 0x0442, 0x0440, 0x0438, 0x0439}));
    EXPECT_EQ(d.users[7].name[0].value, (std::u16string{0x0395, 0x03BB, 0x03AD, 0x03BD, 0x03B7}));
    EXPECT_EQ(d.users[8].name[0].value, (std::u16string{0xD842, 0xDFB7, 0x7530}));
    // Declared groups and groups named by member lines are all entries, once each.
    EXPECT_EQ(d.groups.size(), 7u);
}

TEST(DirectoryFile, Latin1CharsetAndLaterGroupDeclarationAreAccepted) {
    Directory d;
    std::string error;
    const std::string text = std::string(kHead) +
        "charset iso-8859-1\nuser CN=j\xFCrgen.O=o\nmember CN=g.O=o\ngroup CN=G.O=o\ngroup-read anyone\n";
    ASSERT_TRUE(parse_directory(text, d, error)) << error;
    EXPECT_EQ(d.users[0].name[0].value, (std::u16string{u'j', 0x00FC, u'r', u'g', u'e', u'n'}));
    EXPECT_EQ(d.groups.size(), 1u);
    EXPECT_TRUE(d.anyone_reads_groups);
}

TEST(DirectoryFile, MalformedLinesAreReportedWithTheirLineNumber) {
    const std::string h = kHead;  // two lines
    std::string nul = h + "user CN=a.O=o";
    nul += '\0';
    nul += "x\n";
    const struct { std::string text; const char* starts; } cases[] = {
        {h + "# comment\n\nfrobnicate x\n", "line 5: unknown keyword"},
        {h + "user alice.sales\n", "line 3: name 'alice.sales' needs a type"},
        {h + "password x\n", "line 3: password line before any user"},
        {h + "member CN=g.O=o\n", "line 3: member line before any user"},
        {h + "user CN=a.O=o\npassword x\npassword y\n", "line 5: second password"},
        {h + "user CN=a.O=o\nuser cn=A.o=O\n", "line 4: name 'cn=A.o=O' is already an entry"},
        {h + "user CN=a.O=o\nuser CN=b.O=o\nmember CN=a.O=o\n", "line 5: 'CN=a.O=o' is not a group"},
        {h + "user CN=a.O=o\nmember CN=g.O=o\nmember CN=G.O=O\n", "line 5: user is already a member"},
        {h + "user CN=a..O=o\n", "line 3: malformed name"},
        {h + "user CN=.O=o\n", "line 3: malformed name"},
        {h + "user C1=a.O=o\n", "line 3: malformed name"},
        {h + "user CN=a.O=o\npassword \"open\n", "line 4: unterminated quoted value"},
        {h + "user CN=a.O=o\npassword \"a\"b\n", "line 4: text after the closing quote"},
        {h + "user CN=j\xFCrgen.O=o\n", "line 3: not UTF-8"},
        {h + "user CN=\xC0\xAF.O=o\n", "line 3: not UTF-8"},       // overlong '/'
        {h + "user CN=\xED\xA0\x80.O=o\n", "line 3: not UTF-8"},   // a surrogate
        {h + "user CN=\xF4\x90\x80\x80.O=o\n", "line 3: not UTF-8"},  // beyond U+10FFFF
        {h + "user CN=\xE2\x82.O=o\n", "line 3: not UTF-8"},      // cut short
        {h + "user CN=\xE2\x82\xAC.O=o\npassword \xE2\x82\xAC\n", "line 4: password outside ISO 8859-1"},
        {"tree \xE2\x82\xAC\n", "line 1: tree name outside ISO 8859-1"},
        {h + "charset latin9\n", "line 3: charset must be"},
        {h + "group-read everybody\n", "line 3: group-read must be"},
        {h + "tree U\n", "line 3: second tree line"},
        {h + "user\n", "line 3: 'user' needs a value"},
        {nul, "line 3: NUL byte"},
        {"server CN=S.O=o\n", "end of file: no tree line"},
        {"tree T\n", "end of file: no server line"},
    };
    for (const auto& c : cases) {
        const std::string error = error_of(c.text);
        EXPECT_EQ(error.rfind(c.starts, 0), 0u) << "got: " << error << "\nfor: " << c.text;
    }
}

TEST(Names, ResolveTypedTypelessDottedAndCaseInsensitive) {
    const std::vector<DnPart> entry = dn(u"CN=J\u00FCrgen Smith.OU=sales.O=acme");
    EXPECT_TRUE(dn_matches(entry, dn(u"CN=J\u00FCrgen Smith.OU=sales.O=acme")));
    EXPECT_TRUE(dn_matches(entry, dn(u"j\u00DCrgen smith.SALES.acme")));       // ü and Ü are one letter
    EXPECT_TRUE(dn_matches(entry, dn(u".cn=j\u00FCrgen Smith.sales.o=ACME")));  // leading dot, mixed
    EXPECT_FALSE(dn_matches(entry, dn(u"OU=J\u00FCrgen Smith.OU=sales.O=acme")));  // wrong type
    EXPECT_FALSE(dn_matches(entry, dn(u"J\u00FCrgen Smith.sales")));          // path cut short
    EXPECT_FALSE(dn_matches(entry, dn(u"J\u00FCrgen Smith.sales.acme.top")));
    EXPECT_FALSE(dn_matches(dn(u"CN=stra\u00DFe.O=o"), dn(u"STRASSE.o")));
    // Beyond ISO 8859-1: Ł/ł (U+0141/0142), Д/д (U+0414/0434), Έ/έ (U+0388/03AD),
    // Σ/σ/ς (U+03A3/03C3/03C2); a pair beyond U+FFFF compares as it is.
    EXPECT_TRUE(dn_matches(dn(u"CN=\u0141ukasz.O=o"), dn(u"\u0142UKASZ.o")));
    EXPECT_TRUE(dn_matches(dn(u"CN=\u0414\u0438\u043C\u0430.O=o"), dn(u"\u0434\u0418\u041C\u0410.O")));
    EXPECT_TRUE(dn_matches(dn(u"CN=\u0388\u03BB\u03BB\u03B7\u03C2.O=o"), dn(u"\u03AD\u039B\u039B\u0397\u03A3.o")));
    EXPECT_TRUE(dn_matches(dn(u"CN=\u03A3\u03C3.O=o"), dn(u"\u03C2\u03A3.o")));
    EXPECT_TRUE(dn_matches(dn(u"CN=\U00020BB7\u7530.O=o"), dn(u"\U00020BB7\u7530.O")));
    EXPECT_FALSE(dn_matches(dn(u"CN=\u0141ukasz.O=o"), dn(u"Lukasz.o")));
    EXPECT_FALSE(dn_matches(dn(u"CN=\U00020BB7.O=o"), dn(u"\U00020BB8.o")));
    std::vector<DnPart> p;
    EXPECT_FALSE(parse_dn(u"", p));
    EXPECT_FALSE(parse_dn(u".", p));
    EXPECT_FALSE(parse_dn(u"a.", p));
    EXPECT_FALSE(parse_dn(u"..a", p));
    EXPECT_FALSE(parse_dn(u"C\u0141=a", p));  // types are ASCII letters
}

TEST(Names, UnitsToUtf8ForTheLog) {
    EXPECT_EQ(units_to_utf8(u"a\u00FC\u20AC\U0001F600"), "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(units_to_utf8(std::u16string{0xD800, u'a', 0xDC00}), "\xEF\xBF\xBD" "a\xEF\xBF\xBD");
}
