// Names as code units: request bytes under each character set, units back
// to the log, case folding, and stored group names against units. Inputs
// are written as bytes and expected values as code points from the Unicode
// charts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/casefold.h"
#include "frontend/charset.h"
#include "frontend/groupmatch.h"
#include "frontend/log.h"
#include "frontend/logtext.h"

namespace {

using Units = std::vector<uint16_t>;

struct Converted {
    NameStatus status;
    Units units;
};

Converted convert(Charset cs, std::string_view text, size_t room = 64) {
    Units out(room, 0xEEEE);
    size_t n = 99;
    NameStatus st = name_to_units(cs, text, out, &n);
    out.resize(st == NAME_OK ? n : 0);
    if (st != NAME_OK) {
        EXPECT_EQ(n, 0u);
    }
    return {st, out};
}

TEST(Charset, Utf8WellFormedNamesBecomeUnitsWithPairsBeyondTheBmp) {
    const struct {
        const char* what;
        std::string bytes;
        Units units;
    } cases[] = {
        {"ASCII", "alice", {'a', 'l', 'i', 'c', 'e'}},
        {"empty", "", {}},
        {"two bytes: j\u00fcrgen", "j\xC3\xBCrgen", {'j', 0x00FC, 'r', 'g', 'e', 'n'}},
        {"Polish", "\xC5\x81ukasz", {0x0141, 'u', 'k', 'a', 's', 'z'}},
        {"Cyrillic", "\xD0\x94\xD0\xBC\xD0\xB8\xD1\x82\xD1\x80\xD0\xB8\xD0\xB9",
         {0x0414, 0x043C, 0x0438, 0x0442, 0x0440, 0x0438, 0x0439}},
        {"Greek", "\xCE\x95\xCE\xBB\xCE\xAD\xCE\xBD\xCE\xB7", {0x0395, 0x03BB, 0x03AD, 0x03BD, 0x03B7}},
        {"three bytes: euro", "\xE2\x82\xAC", {0x20AC}},
        {"lowest of each length", std::string("\x00\xC2\x80\xE0\xA0\x80", 6), {0x0000, 0x0080, 0x0800}},
        {"highest of each length", "\x7F\xDF\xBF\xEF\xBF\xBF", {0x007F, 0x07FF, 0xFFFF}},
        {"next to the surrogates", "\xED\x9F\xBF\xEE\x80\x80", {0xD7FF, 0xE000}},
        {"four bytes: U+1F600", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        {"four bytes: U+1D11E", "a\xF0\x9D\x84\x9E" "b", {'a', 0xD834, 0xDD1E, 'b'}},
        {"lowest four bytes U+10000", "\xF0\x90\x80\x80", {0xD800, 0xDC00}},
        {"highest code point U+10FFFF", "\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Converted u = convert(CHARSET_UTF8, c.bytes);
        EXPECT_EQ(u.status, NAME_OK);
        EXPECT_EQ(u.units, c.units);
        EXPECT_TRUE(utf8_valid(c.bytes, nullptr));
    }
}

TEST(Charset, Utf8MalformedNamesAreInvalid) {
    const struct {
        const char* what;
        const char* bytes;
    } cases[] = {
        {"overlong '/' in two bytes", "\xC0\xAF"},
        {"overlong U+007F in two bytes", "\xC1\xBF"},
        {"overlong '/' in three bytes", "\xE0\x80\xAF"},
        {"overlong U+07FF in three bytes", "\xE0\x9F\xBF"},
        {"overlong '/' in four bytes", "\xF0\x80\x80\xAF"},
        {"overlong U+FFFF in four bytes", "\xF0\x8F\xBF\xBF"},
        {"high surrogate U+D800", "\xED\xA0\x80"},
        {"low surrogate U+DFFF", "\xED\xBF\xBF"},
        {"surrogate pair in UTF-8 (CESU-8)", "\xED\xA0\xBD\xED\xB8\x80"},
        {"U+110000", "\xF4\x90\x80\x80"},
        {"lead byte F5", "\xF5\x80\x80\x80"},
        {"five-byte form", "\xF8\x88\x80\x80\x80"},
        {"FE and FF", "\xFE\xFF"},
        {"two-byte sequence cut at the end", "ab\xC3"},
        {"three-byte sequence cut at the end", "\xE2\x82"},
        {"four-byte sequence cut at the end", "\xF0\x9F\x98"},
        {"sequence cut by an ASCII byte", "\xC3" "b"},
        {"four-byte sequence cut by a lead byte", "\xF0\x9F\xC3\xBC"},
        {"stray continuation byte", "a\x80" "b"},
        {"stray continuation byte first", "\xBF"},
        {"one continuation too many", "\xC3\xBC\xBC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(convert(CHARSET_UTF8, c.bytes).status, NAME_INVALID);
        EXPECT_FALSE(utf8_valid(c.bytes, nullptr));
    }
}

TEST(Charset, Latin1TakesEachByteAndAutoPicksUtf8OnlyForMultibyteUtf8) {
    const struct {
        const char* what;
        const char* bytes;
        Units latin1;
        Units autodetected;
    } cases[] = {
        {"ASCII", "bob", {'b', 'o', 'b'}, {'b', 'o', 'b'}},
        {"Latin-1 j\u00fcrgen", "j\xFCrgen", {'j', 0xFC, 'r', 'g', 'e', 'n'}, {'j', 0xFC, 'r', 'g', 'e', 'n'}},
        {"UTF-8 j\u00fcrgen", "j\xC3\xBCrgen", {'j', 0xC3, 0xBC, 'r', 'g', 'e', 'n'}, {'j', 0xFC, 'r', 'g', 'e', 'n'}},
        {"UTF-8 then a Latin-1 byte", "\xC3\xA9\xE9", {0xC3, 0xA9, 0xE9}, {0xC3, 0xA9, 0xE9}},
        {"Latin-1 bytes that look like a surrogate", "\xED\xA0\x80", {0xED, 0xA0, 0x80}, {0xED, 0xA0, 0x80}},
        {"Latin-1 overlong look-alike", "\xC0\xAF", {0xC0, 0xAF}, {0xC0, 0xAF}},
        {"UTF-8 four bytes", "\xF0\x9F\x98\x80", {0xF0, 0x9F, 0x98, 0x80}, {0xD83D, 0xDE00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Converted l = convert(CHARSET_ISO8859_1, c.bytes);
        EXPECT_EQ(l.status, NAME_OK);
        EXPECT_EQ(l.units, c.latin1);
        const Converted a = convert(CHARSET_AUTO, c.bytes);
        EXPECT_EQ(a.status, NAME_OK);
        EXPECT_EQ(a.units, c.autodetected);
    }
    bool multi = true;
    EXPECT_TRUE(utf8_valid("plain", &multi));
    EXPECT_FALSE(multi);
    EXPECT_TRUE(utf8_valid("\xC3\xBC", &multi));
    EXPECT_TRUE(multi);
}

TEST(Charset, UnitsThatDoNotFitFailWhole) {
    EXPECT_EQ(convert(CHARSET_ISO8859_1, "abc", 3).units, (Units{'a', 'b', 'c'}));
    EXPECT_EQ(convert(CHARSET_ISO8859_1, "abc", 2).status, NAME_TOO_LONG);
    EXPECT_EQ(convert(CHARSET_UTF8, "a\xC3\xBC", 2).units, (Units{'a', 0xFC}));
    EXPECT_EQ(convert(CHARSET_UTF8, "a\xC3\xBC", 1).status, NAME_TOO_LONG);
    EXPECT_EQ(convert(CHARSET_UTF8, "\xF0\x9F\x98\x80", 1).status, NAME_TOO_LONG);  // both halves or nothing
    EXPECT_EQ(convert(CHARSET_AUTO, "\xF0\x9F\x98\x80", 1).status, NAME_TOO_LONG);
}

std::string logged(const Units& units, size_t size = LOG_ESCAPED_SIZE) {
    std::vector<char> out(size + 1, 'X');
    log_escape_units(units, true, out.data(), size);
    return std::string(out.data());
}

TEST(Charset, UnitsToTheLogAsEscapedUtf8) {
    const struct {
        const char* what;
        Units units;
        std::string text;
    } cases[] = {
        {"ASCII", {'b', 'o', 'b'}, "bob"},
        {"controls as %XX", {'a', 0x01, 0x0A, 0x0D, 0x1F, 0x7F, 'b'}, "a%01%0A%0D%1F%7Fb"},
        {"zero unit", {0x0000}, "%00"},
        {"two bytes", {0x00FC, 0x0141}, "\xC3\xBC\xC5\x81"},
        {"three bytes", {0x20AC, 0xFFFF}, "\xE2\x82\xAC\xEF\xBF\xBF"},
        {"pair", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {"lone high at the end", {'a', 0xD800}, "a\xEF\xBF\xBD"},
        {"lone high before ASCII", {0xD800, 'a'}, "\xEF\xBF\xBD" "a"},
        {"lone low", {0xDC00, 'a'}, "\xEF\xBF\xBD" "a"},
        {"pair in the wrong order", {0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"high, then a whole pair", {0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(logged(c.units), c.text);
    }
    // Only whole characters, with room for the zero byte.
    EXPECT_EQ(logged({'a', 0x20AC, 'b'}, 4), "a");
    EXPECT_EQ(logged({'a', 0x20AC, 'b'}, 5), "a\xE2\x82\xAC");
    EXPECT_EQ(logged({'a', 0x01, 'b'}, 4), "a");
    EXPECT_EQ(logged({'a'}, 1), "");
    EXPECT_EQ(logged({0xD83D, 0xDE00}, 4), "");
}

// Request names in the log: bytes under ISO 8859-1, UTF-8 otherwise (a name
// read as ISO 8859-1 under auto turned into UTF-8); what is not UTF-8 under
// UTF-8 keeps only its ASCII.
TEST(Charset, RequestNamesToTheLog) {
    const struct {
        Charset cs;
        const char* bytes;
        const char* text;
    } cases[] = {
        {CHARSET_ISO8859_1, "j\xFCrgen\x01", "j\xFCrgen%01"},
        {CHARSET_ISO8859_1, "j\xC3\xBCrgen", "j\xC3\xBCrgen"},
        {CHARSET_UTF8, "j\xC3\xBCrgen\x7F", "j\xC3\xBCrgen%7F"},
        {CHARSET_UTF8, "j\xFCrgen", "j%FCrgen"},
        {CHARSET_UTF8, "\xC0\xAF.acme", "%C0%AF.acme"},
        {CHARSET_AUTO, "j\xFCrgen", "j\xC3\xBCrgen"},
        {CHARSET_AUTO, "j\xC3\xBCrgen", "j\xC3\xBCrgen"},
        {CHARSET_AUTO, "\xF0\x9F\x98\x80\x0A", "\xF0\x9F\x98\x80%0A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        char out[LOG_ESCAPED_SIZE];
        log_request_name(c.cs, c.bytes, out, sizeof out);
        EXPECT_STREQ(out, c.text);
    }
}

TEST(CaseFold, AFewLettersOfEachScript) {
    const struct {
        uint16_t unit;
        uint16_t folded;
    } cases[] = {
        // ASCII and ISO 8859-1
        {'A', 'a'}, {'Z', 'z'}, {'z', 'z'}, {'@', '@'}, {'[', '['}, {'.', '.'}, {'=', '='}, {0, 0},
        {0x00C0, 0x00E0}, {0x00D6, 0x00F6}, {0x00D7, 0x00D7}, {0x00DE, 0x00FE}, {0x00DC, 0x00FC},
        {0x00DF, 0x00DF}, {0x00FF, 0x00FF}, {0x00B5, 0x03BC},
        // Latin Extended-A and -B, Latin Extended Additional
        {0x0141, 0x0142}, {0x0142, 0x0142}, {0x015A, 0x015B}, {0x017B, 0x017C}, {0x010C, 0x010D},
        {0x0178, 0x00FF}, {0x017F, 0x0073}, {0x0130, 0x0130}, {0x0131, 0x0131}, {0x0138, 0x0138},
        {0x01C4, 0x01C6}, {0x01C5, 0x01C6}, {0x0218, 0x0219}, {0x0181, 0x0253},
        {0x1E9E, 0x00DF}, {0x1EA0, 0x1EA1},
        // Greek and Greek Extended
        {0x03A3, 0x03C3}, {0x03C2, 0x03C3}, {0x0386, 0x03AC}, {0x03A9, 0x03C9}, {0x039F, 0x03BF},
        {0x03D0, 0x03B2}, {0x1F08, 0x1F00}, {0x1F88, 0x1F80},
        // Cyrillic
        {0x0414, 0x0434}, {0x041E, 0x043E}, {0x042F, 0x044F}, {0x0401, 0x0451}, {0x0490, 0x0491},
        {0x04C1, 0x04C2}, {0x04C0, 0x04CF}, {0x0434, 0x0434},
        // Outside the table: Armenian, the Kelvin sign, surrogates, the top
        {0x0531, 0x0531}, {0x212A, 0x212A}, {0xD800, 0xD800}, {0xDC41, 0xDC41}, {0xFFFF, 0xFFFF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fold_unit(c.unit), c.folded) << std::hex << c.unit;
    }
}

// A stored name: the units, little-endian, with the zero unit.
std::vector<uint8_t> stored(const Units& units, bool terminated = true) {
    std::vector<uint8_t> out;
    for (uint16_t u : units) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    if (terminated) out.insert(out.end(), {0, 0});
    return out;
}

Units ascii(const char* s) {
    Units u;
    for (; *s != 0; ++s) u.push_back(static_cast<unsigned char>(*s));
    return u;
}

TEST(GroupMatch, StoredNamesAgainstUnitsWithAndWithoutFolding) {
    // Ü = U+00DC, ü = U+00FC; Ομάδα / ομάδα; Отдел / отдел; U+1F600 as a pair.
    const Units uber = {0x00DC, 'b', 'e', 'r'}, uber_lower = {0x00FC, 'b', 'e', 'r'};
    const Units omada = {0x039F, 0x03BC, 0x03AC, 0x03B4, 0x03B1}, omada_lower = {0x03BF, 0x03BC, 0x03AC, 0x03B4, 0x03B1};
    const Units otdel = {0x041E, 0x0442, 0x0434, 0x0435, 0x043B}, otdel_lower = {0x043E, 0x0442, 0x0434, 0x0435, 0x043B};
    const auto join = [](std::initializer_list<Units> parts) {
        Units u;
        for (const Units& p : parts) u.insert(u.end(), p.begin(), p.end());
        return u;
    };
    const struct {
        Units name;
        Units group;
        bool exact;
        bool folded;  // CASE_FOLD; CASE_FOLD_LATIN1 alike unless latin1 says otherwise
        int latin1 = -1;
    } cases[] = {
        {ascii("CN=staff.OU=sales.O=acme"), ascii("staff.sales.acme"), true, true},
        {ascii("CN=staff.OU=sales.O=acme"), ascii(".staff.sales.acme"), true, true},
        {ascii("CN=staff.OU=sales.O=acme"), ascii("Staff.SALES.acme"), false, true},
        {ascii("CN=staff.OU=sales.O=acme"), ascii("staff.sales"), false, false},
        {ascii("CN=staff.OU=sales.O=acme"), ascii("staff.sales.acme."), false, false},
        {ascii("CN=staff.O=acme"), ascii("staff"), false, false},
        {ascii("cn=staff.O=acme"), ascii("STAFF.ACME"), false, true},
        {ascii(".CN=staff.O=acme"), ascii("staff.acme"), true, true},
        {ascii("staff"), ascii("staff"), true, true},
        {ascii("staff.acme"), ascii("staff.acme"), false, false},
        {ascii("CN=staff.O=acme"), ascii("CN=staff.O=acme"), false, false},
        {ascii("CN=staff.O=acme"), {}, false, false},
        {ascii("CN="), {}, true, true},
        {{}, ascii("x"), false, false},
        {join({ascii("CN="), uber, ascii(".OU=ops.O=acme")}), join({uber, ascii(".ops.acme")}), true, true},
        {join({ascii("CN="), uber, ascii(".OU=ops.O=acme")}), join({uber_lower, ascii(".ops.acme")}), false, true},
        {join({ascii("CN="), omada, ascii(".O=acme")}), join({omada_lower, ascii(".acme")}), false, true, false},
        {join({ascii("CN="), otdel, ascii(".O=acme")}), join({otdel_lower, ascii(".ACME")}), false, true, false},
        {join({ascii("CN="), otdel, ascii(".O=acme")}), join({otdel, ascii(".acme")}), true, true},
        // A unit above 0xFF is not its low byte; ß has no one-unit folding.
        {{'C', 'N', '=', 's', 0x0174}, {'s', 't'}, false, false},
        {ascii("CN=stra\xDF" "e"), ascii("STRASSE"), false, false},
        {{'C', 'N', '=', 0xD83D, 0xDE00, '.', 'O', '=', 'a'}, {0xD83D, 0xDE00, '.', 'a'}, true, true},
        // ISO 8859-1 letters compare with units 0x80..0xFF. CASE_FOLD_LATIN1
        // folds only letters whose folding stays within ISO 8859-1: not 'ÿ'
        // with 'Ÿ' (U+0178), not 'µ' with Greek 'μ' (U+03BC), nor Greek and
        // Cyrillic (above).
        {ascii("CN=g\xE9n.O=acme"), ascii("g\xE9n.acme"), true, true},
        {ascii("CN=G\xC9N.O=acme"), ascii("g\xE9n.acme"), false, true},
        {{'C', 'N', '=', 0x0178}, {0x00FF}, false, true, false},
        {{'C', 'N', '=', 0x03BC}, {0x00B5}, false, true, false},
        {{'C', 'N', '=', 0x00B5}, {0x00B5}, true, true, true},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> name = stored(c.name);
        EXPECT_EQ(compare_group_units(name, c.group, CASE_EXACT) == 0, c.exact) << testing::PrintToString(c.name);
        EXPECT_EQ(compare_group_units(name, c.group, CASE_FOLD) == 0, c.folded) << testing::PrintToString(c.name);
        const bool latin1 = c.latin1 < 0 ? c.folded : c.latin1 != 0;
        EXPECT_EQ(compare_group_units(name, c.group, CASE_FOLD_LATIN1) == 0, latin1) << testing::PrintToString(c.name);
    }
    // Without its zero unit, or with the zero unit cut in half, no name matches.
    EXPECT_NE(compare_group_units(stored(ascii("CN=staff"), false), ascii("staff"), CASE_FOLD), 0);
    std::vector<uint8_t> odd = stored(ascii("staff"));
    odd.pop_back();
    EXPECT_NE(compare_group_units(odd, ascii("staff"), CASE_FOLD), 0);
}

TEST(GroupMatch, StoredNameForTheLogInTypelessForm) {
    const struct {
        Units name;
        bool terminated;
        std::string low_bytes;
        std::string utf8;
    } cases[] = {
        {ascii("CN=staff.OU=sales.O=acme"), true, ".staff.sales.acme", ".staff.sales.acme"},
        {ascii(".cn=staff.O=acme"), true, ".staff.acme", ".staff.acme"},
        {ascii("CN=a.b"), true, ".a.", ".a."},
        {ascii("CN=staff"), false, ".staff", ".staff"},
        {{'C', 'N', '=', 0x00FC, '.', 'O', '=', 'a'}, true, ".\xFC.a", ".\xC3\xBC.a"},
        {{'C', 'N', '=', 0x0141, 0x0100, 0x01}, true, ".A%00%01", ".\xC5\x81\xC4\x80%01"},
        {{'C', 'N', '=', 0xD83D, 0xDE00, 0xD800}, true, ".=%00%00", ".\xF0\x9F\x98\x80\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.low_bytes);
        char out[64];
        stored_name_for_log(stored(c.name, c.terminated), false, out, sizeof out);
        EXPECT_EQ(std::string(out), c.low_bytes);
        stored_name_for_log(stored(c.name, c.terminated), true, out, sizeof out);
        EXPECT_EQ(std::string(out), c.utf8);
    }
    char small[5];
    stored_name_for_log(stored(ascii("CN=staff")), false, small, sizeof small);
    EXPECT_STREQ(small, ".sta");
    stored_name_for_log(stored({'C', 'N', '=', 'a', 0x01}), false, small, sizeof small);
    EXPECT_STREQ(small, ".a");
    stored_name_for_log(stored({'C', 'N', '=', 'a', 0x20AC}), true, small, sizeof small);
    EXPECT_STREQ(small, ".a");
}

}  // namespace
