// The directory-file parser and name matching.
#include <gtest/gtest.h>

#include "testserver/directory.h"
#include "testserver/names.h"

using namespace ts;

namespace {

std::vector<DnPart> dn(const char* text) {
    std::vector<DnPart> p;
    EXPECT_TRUE(parse_dn(text, p)) << text;
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
    EXPECT_EQ(dn_format(d.server), "CN=WREN1.O=acme");
    EXPECT_FALSE(d.anyone_reads_groups);
    ASSERT_EQ(d.users.size(), 4u);
    EXPECT_EQ(d.users[1].password, "secret");
    ASSERT_EQ(d.users[1].groups.size(), 2u);
    EXPECT_EQ(dn_format(d.users[1].groups[0]), "CN=staff.OU=sales.O=acme");
    EXPECT_EQ(dn_format(d.users[2].name), "CN=Ann Smith.OU=sales.O=acme");
    EXPECT_EQ(d.users[2].password, "  blanks at both ends  ");
    // UTF-8 in the file becomes ISO 8859-1: ü is the single byte 0xFC.
    EXPECT_EQ(d.users[3].name[0].value, "j\xFCrgen");
    EXPECT_EQ(d.users[3].password, "");
    EXPECT_EQ(dn_format(d.users[3].groups[0]), "CN=\xDC" "berwachung.OU=ops.O=acme");
    // Declared groups and groups named by member lines are all entries, once each.
    EXPECT_EQ(d.groups.size(), 4u);
}

TEST(DirectoryFile, Latin1CharsetAndLaterGroupDeclarationAreAccepted) {
    Directory d;
    std::string error;
    const std::string text = std::string(kHead) +
        "charset iso-8859-1\nuser CN=j\xFCrgen.O=o\nmember CN=g.O=o\ngroup CN=G.O=o\ngroup-read anyone\n";
    ASSERT_TRUE(parse_directory(text, d, error)) << error;
    EXPECT_EQ(d.users[0].name[0].value, "j\xFCrgen");
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
        {h + "user CN=\xE2\x82\xAC.O=o\n", "line 3: not UTF-8, or a character outside ISO 8859-1"},
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
    const std::vector<DnPart> entry = dn("CN=J\xFCrgen Smith.OU=sales.O=acme");
    EXPECT_TRUE(dn_matches(entry, dn("CN=J\xFCrgen Smith.OU=sales.O=acme")));
    EXPECT_TRUE(dn_matches(entry, dn("j\xDCrgen smith.SALES.acme")));       // ü and Ü are one letter
    EXPECT_TRUE(dn_matches(entry, dn(".cn=j\xFCrgen Smith.sales.o=ACME")));  // leading dot, mixed
    EXPECT_FALSE(dn_matches(entry, dn("OU=J\xFCrgen Smith.OU=sales.O=acme")));  // wrong type
    EXPECT_FALSE(dn_matches(entry, dn("J\xFCrgen Smith.sales")));          // path cut short
    EXPECT_FALSE(dn_matches(entry, dn("J\xFCrgen Smith.sales.acme.top")));
    EXPECT_FALSE(dn_matches(dn("CN=stra\xDF" "e.O=o"), dn("STRASSE.o")));
    std::vector<DnPart> p;
    EXPECT_FALSE(parse_dn("", p));
    EXPECT_FALSE(parse_dn(".", p));
    EXPECT_FALSE(parse_dn("a.", p));
    EXPECT_FALSE(parse_dn("..a", p));
}
