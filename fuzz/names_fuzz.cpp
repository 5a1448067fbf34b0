// The request line's pure functions on arbitrary bytes: the line taken apart
// under the switches the first byte picks (bit 0 channel IDs, bit 1 percent
// decoding, bit 2 StripRealm, bit 3 StripDomain), every name read under each
// character set, the names a user is tried as, and the group comparison.
// Checks that the parts stay inside the line, that UTF-8 is judged as the C
// library's iconv judges it and gives the same units, that valid UTF-8
// without control characters comes back from the log writer unchanged, and
// that a stored "CN=<group>" matches its group, folded or not. The whole
// input, taken as a stored name, is compared with every group under each
// letter case rule: a looser rule never matches less.
#include <iconv.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "frontend/casefold.h"
#include "frontend/charset.h"
#include "frontend/context.h"
#include "frontend/groupmatch.h"
#include "frontend/logtext.h"
#include "frontend/requestparse.h"
#include "ncpclient/ncpclient.h"

namespace {

void fail(const char* why) {
    (void)!write(2, why, std::strlen(why));
    std::abort();
}

// iconv's verdict on text as UTF-8, and its UTF-16 units.
bool iconv_units(std::string_view text, uint16_t* out, size_t room, size_t* count) {
    static iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) fail("iconv_open failed\n");
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    static char in[REQUEST_SIZE];
    static char wide[2 * REQUEST_SIZE];
    std::memcpy(in, text.data(), text.size());
    char* ip = in;
    size_t il = text.size();
    char* op = wide;
    size_t ol = sizeof wide;
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0) return false;
    const size_t n = (sizeof wide - ol) / 2;
    if (n > room) fail("iconv gave more units than bytes\n");
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint16_t>(static_cast<uint8_t>(wide[2 * i]) | (static_cast<uint8_t>(wide[2 * i + 1]) << 8));
    }
    *count = n;
    return true;
}

void check_name(const char* name, const ContextList& contexts) {
    const std::string_view text(name);
    static uint16_t units[REQUEST_SIZE];
    static uint16_t oracle[REQUEST_SIZE];
    size_t n = 0, m = 0;

    if (name_to_units(CHARSET_ISO8859_1, text, units, &n) != NAME_OK || n != text.size()) fail("ISO 8859-1\n");

    const bool valid = iconv_units(text, oracle, REQUEST_SIZE, &m);
    const NameStatus st = name_to_units(CHARSET_UTF8, text, units, &n);
    if ((st == NAME_OK) != valid || utf8_valid(text, nullptr) != valid) fail("UTF-8 judged unlike iconv\n");
    if (valid && (n != m || std::memcmp(units, oracle, 2 * n) != 0)) fail("UTF-8 units unlike iconv's\n");
    if (st == NAME_TOO_LONG) fail("UTF-8 gave more units than bytes\n");

    if (valid) {
        bool controls = false;
        for (char c : text) controls |= static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        static char logged[LOG_ESCAPED_SIZE];
        log_escape_units(std::span<const uint16_t>(units, n), true, logged, sizeof logged);
        if (!utf8_valid(logged, nullptr)) fail("log text is not UTF-8\n");
        if (!controls && text != logged) fail("UTF-8 did not come back from the log unchanged\n");
    }

    if (name_to_units(CHARSET_AUTO, text, units, &n) != NAME_OK) fail("auto\n");
    for (size_t k = 0; k < candidate_count(std::span<const uint16_t>(units, n), contexts); ++k) {
        uint16_t candidate[RESOLVE_NAME_MAX_UNITS];
        size_t len = 0;
        const CandidateStatus cs = candidate_name(std::span<const uint16_t>(units, n), contexts, k, candidate, &len);
        if (cs == CANDIDATE_NONE || len > RESOLVE_NAME_MAX_UNITS) fail("candidate\n");
    }

    // "CN=<name>" stored, the name without dots and zero units asked for.
    bool plain = n > 0;
    for (size_t i = 0; i < n; ++i) plain &= units[i] != '.' && units[i] != 0;
    if (!plain) return;
    static uint8_t stored[2 * (REQUEST_SIZE + 4)];
    size_t b = 0;
    for (uint16_t u : {uint16_t{'C'}, uint16_t{'N'}, uint16_t{'='}}) {
        stored[b++] = static_cast<uint8_t>(u);
        stored[b++] = 0;
    }
    for (size_t i = 0; i < n; ++i) {
        const uint16_t u = fold_unit(units[i]);
        if (fold_unit(u) != u) fail("folding a folded unit changed it\n");
        stored[b++] = static_cast<uint8_t>(u);
        stored[b++] = static_cast<uint8_t>(u >> 8);
    }
    stored[b++] = 0;
    stored[b++] = 0;
    if (compare_group_units(std::span<const uint8_t>(stored, b), std::span<const uint16_t>(units, n), CASE_FOLD) != 0) {
        fail("a stored name does not match its group folded\n");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const RequestForm form{(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) != 0, (data[0] & 8) != 0};
    ++data;
    --size;
    static char line[REQUEST_SIZE];
    size_t n = 0;
    while (n < size && n + 1 < sizeof line && data[n] != 0 && data[n] != '\n') {
        line[n] = static_cast<char>(data[n]);
        ++n;
    }
    line[n] = '\0';

    static ContextList contexts;
    if (contexts.count == 0 && context_list_parse("sales.acme,.o", CHARSET_ISO8859_1, &contexts) != CONTEXT_OK) {
        fail("context list\n");
    }

    ParsedRequest r;
    const ParseStatus st = parse_request(line, form, &r);
    const auto inside = [](const char* p) { return p >= line && p < line + sizeof line; };
    if (*r.channel != '\0' && (!inside(r.channel) || std::strspn(r.channel, "0123456789") != std::strlen(r.channel))) {
        fail("channel\n");
    }
    if (st == PARSE_REFUSED && r.refused == nullptr) fail("refused without a reason\n");
    if (st != PARSE_OK) return 0;
    if (!inside(r.user) || r.group_count == 0 || r.group_count > REQUEST_GROUPS_MAX) fail("parts\n");
    check_name(r.user, contexts);
    for (size_t i = 0; i < r.group_count; ++i) {
        if (!inside(r.groups[i])) fail("group outside the line\n");
        check_name(r.groups[i], contexts);
        static uint16_t units[REQUEST_SIZE];
        size_t n = 0;
        name_to_units(CHARSET_ISO8859_1, r.groups[i], units, &n);
        // Each letter case rule admits at least what the stricter one does.
        const std::span<const uint8_t> stored(data, size);
        const std::span<const uint16_t> group(units, n);
        const bool exact = compare_group_units(stored, group, CASE_EXACT) == 0;
        const bool latin1 = compare_group_units(stored, group, CASE_FOLD_LATIN1) == 0;
        const bool folded = compare_group_units(stored, group, CASE_FOLD) == 0;
        if ((exact && !latin1) || (latin1 && !folded)) fail("a looser letter case rule matched less\n");
    }
    return 0;
}
