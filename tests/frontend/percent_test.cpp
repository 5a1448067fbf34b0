#include <gtest/gtest.h>

#include <string>

#include "frontend/percent.h"

namespace {

// The decoded text and whether decoding met a NUL.
std::pair<std::string, bool> decode(std::string s) {
    s.push_back('\0');
    const bool nul = translate_stringfrom_percent(s.data()) != 0;
    return {std::string(s.c_str()), nul};  // as later readers see it: up to the first zero
}

TEST(PercentDecoding, DecodesEscapesAndKeepsEverythingElse) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"john%20doe", "john doe"},
        {"100%%", "100%"},
        {"%%41", "%41"},        // "%%" is one '%', the 41 stays text
        {"%41%42C", "ABC"},
        {"x%41", "xA"},         // an escape at the very end
        {"%2f", "%2f"},         // small hexadecimal letters are not digits
        {"%2F", "/"},
        {"%4", "%4"},
        {"%G1", "%G1"},
        {"%", "%"},
        {"a%", "a%"},
        {"%4%41", "%4A"},       // a '%' without an escape does not swallow what follows
        {"%2541", "%41"},       // a decoded byte is not decoded again
        {"ab%00cd", "ab%00cd"},  // never decoded, and said: the name is refused
        {"%41%00%%00", "A%00%00"},
        {"%%00", "%00"},
        {"", ""},
        {"%FF%80", "\xFF\x80"},
        {"%%%41%", "%A%"},
    };
    for (const Case& c : cases) {
        const auto [text, nul] = decode(c.in);
        EXPECT_EQ(text, c.out) << "input: " << c.in;
        EXPECT_EQ(nul, std::string(c.in).find("%00") != std::string::npos && std::string(c.in) != "%%00") << c.in;
    }
}

TEST(PercentDecoding, NeverWritesPastTheText) {
    // The byte after the terminator must survive: the output is never longer.
    char text[] = "%%%%%4%%41\0Z";
    translate_stringfrom_percent(text);
    EXPECT_STREQ(text, "%%%4%41");
    EXPECT_EQ(text[sizeof text - 2], 'Z');
}

}  // namespace
