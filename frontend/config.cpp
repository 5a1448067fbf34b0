#include "frontend/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/log.h"
#include "frontend/logtext.h"
#include "frontend/progname.h"
#include "runtime/fd.h"
#include "runtime/wipe.h"

char config_server[CONFIG_SERVER_SIZE];
int32_t config_port = DEFAULT_PORT;
char config_user[CONFIG_TEXT_SIZE];
char config_password[CONFIG_TEXT_SIZE];
int32_t config_convertpercent = 0;
int32_t config_debug = 0;
int32_t config_timeout = DEFAULT_TIMEOUT;
int32_t config_failurereply = FAILURE_REPLY_ERR;
int32_t config_concurrency = 0;
Charset config_charset = CHARSET_ISO8859_1;
int32_t config_striprealm = 0;
int32_t config_stripdomain = 0;
int32_t config_ignorecase = 0;
Membership config_membership = MEMBERSHIP_USER;
PingAfter config_pingafter = PING_AFTER_NEGATIVE;
int32_t config_cacheseconds = 0;
char config_context[CONTEXT_TEXT_SIZE];
ContextList config_contexts;
ServerList config_servers;
int config_errno = 0;

namespace {

// The character set the reports of a reading are written in.
Charset report_charset = CHARSET_ISO8859_1;

constexpr size_t LINE_SIZE = 1024;  // at most 1023 bytes per line
constexpr int MAX_TOKENS = 8;
static_assert(CONFIG_SERVER_SIZE >= LINE_SIZE, "a Server value is never cut");

// A byte source over the file with a small buffer; the file may hold the
// search password, so the buffer is wiped when reading ends.
struct ConfigReader {
    int fd;
    unsigned char buf[512];
    size_t pos;
    size_t end;
};

// 1 with a byte, 0 at the end of the file, -1 on a read error.
int next_byte(ConfigReader* r, unsigned char* c) {
    if (r->pos == r->end) {
        ssize_t n;
        do {
            n = read(r->fd, r->buf, sizeof r->buf);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return -1;
        if (n == 0) return 0;
        r->pos = 0;
        r->end = static_cast<size_t>(n);
    }
    *c = r->buf[r->pos++];
    return 1;
}

// Assembles one line: CR dropped anywhere, LF ends it, 1023 bytes end it.
// 1 with a line, 0 at the end of the file (a last line without LF is
// dropped), -1 on a read error.
int next_line(ConfigReader* r, char* line) {
    size_t n = 0;
    for (;;) {
        unsigned char c;
        int got = next_byte(r, &c);
        if (got <= 0) return got;
        if (c == '\r') continue;
        if (c == '\n') break;
        line[n++] = static_cast<char>(c);
        if (n == LINE_SIZE - 1) break;
    }
    line[n] = '\0';
    return 1;
}

bool ascii_iequals(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a);
        unsigned char y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == 0) return true;
    }
}

void copy_text(char* dst, const char* src) {
    size_t n = strnlen(src, CONFIG_TEXT_SIZE - 2);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// The file is read twice: quietly, to learn the settings (the character set
// above all), then again with every value that cannot be used reported, so
// that a value is written into the log the same way in every line: read
// under the character set the file ends up with.
bool reporting = false;
bool reported = false;

// A value for a report line, read under the file's character set.
const char* shown(const char* value) {
    static char text[3 * LINE_SIZE + 1];
    log_request_name(report_charset, value, text, sizeof text);
    return text;
}

void report_value(const char* key, const char* value) {
    if (!reporting) return;
    reported = true;
    addtolog("config: unknown value %s for %s, ignored.\r\n", shown(value), key);
}

void report_context(const char* value, ContextStatus status) {
    if (!reporting) return;
    reported = true;
    addtolog("config: Context %s ignored (%s).\r\n", shown(value), context_status_text(status));
}

// The switches: "Yes" turns one on, "No" leaves it as it is (nothing turns
// a switch off again); ConvertPercent and Debug take anything else quietly,
// as they always have, the others report it.
void apply_switch(const char* key, const char* value, int32_t* setting, bool quiet) {
    if (ascii_iequals(value, "Yes")) *setting = 1;
    else if (!quiet && !ascii_iequals(value, "No")) report_value(key, value);
}

// The keys that take one of a few words, letter case ignored; any other
// value is reported and changes nothing.
template <typename T>
struct Word {
    const char* word;
    T value;
};

template <typename T, size_t N>
void apply_word(const char* key, const char* value, const Word<T> (&words)[N], T* setting) {
    for (const Word<T>& w : words) {
        if (ascii_iequals(value, w.word)) {
            *setting = w.value;
            return;
        }
    }
    report_value(key, value);
}

// A decimal integer as atoi reads it (white space, sign, digits), kept in
// 32 bits; out-of-range values are clamped by strtol and then wrapped.
int32_t read_int(const char* s) { return static_cast<int32_t>(std::strtol(s, nullptr, 10)); }

void apply_server(const char* v) { std::snprintf(config_server, sizeof config_server, "%s", v); }
void apply_port(const char* v) {
    config_port = read_int(v);
    if (config_port == 0) config_port = DEFAULT_PORT;
}
void apply_user(const char* v) { copy_text(config_user, v); }
void apply_password(const char* v) { copy_text(config_password, v); }
void apply_convertpercent(const char* v) { apply_switch("ConvertPercent", v, &config_convertpercent, true); }
void apply_debug(const char* v) { apply_switch("Debug", v, &config_debug, true); }
void apply_timeout(const char* v) {
    config_timeout = read_int(v);
    if (config_timeout <= 0) config_timeout = DEFAULT_TIMEOUT;
}
void apply_failurereply(const char* v) {
    static constexpr Word<int32_t> words[] = {{"ERR", FAILURE_REPLY_ERR}, {"BH", FAILURE_REPLY_BH}};
    apply_word("FailureReply", v, words, &config_failurereply);
}
void apply_concurrency(const char* v) { apply_switch("Concurrency", v, &config_concurrency, false); }
void apply_charset(const char* v) {
    static constexpr Word<Charset> words[] = {
        {"ISO-8859-1", CHARSET_ISO8859_1}, {"UTF-8", CHARSET_UTF8}, {"auto", CHARSET_AUTO}};
    apply_word("Charset", v, words, &config_charset);
}
void apply_striprealm(const char* v) { apply_switch("StripRealm", v, &config_striprealm, false); }
void apply_stripdomain(const char* v) { apply_switch("StripDomain", v, &config_stripdomain, false); }
void apply_ignorecase(const char* v) { apply_switch("IgnoreCase", v, &config_ignorecase, false); }
void apply_membership(const char* v) {
    static constexpr Word<Membership> words[] = {
        {"user", MEMBERSHIP_USER}, {"group", MEMBERSHIP_GROUP}, {"either", MEMBERSHIP_EITHER}};
    apply_word("Membership", v, words, &config_membership);
}

// The list is kept as written and read into contexts at the end of the
// file, when the character set is known. A list that is too long, too
// many, or holds an empty context is reported here and leaves the one
// before it (a list is never cut); one that is not UTF-8 under
// "Charset UTF-8" is reported at the end and no contexts are used.
void apply_context(const char* v) {
    const size_t n = std::strlen(v);
    ContextStatus status = CONTEXT_TOO_LONG;
    if (n < sizeof config_context) {
        static ContextList scratch;
        status = context_list_parse(v, CHARSET_ISO8859_1, &scratch);
    }
    if (status == CONTEXT_OK) {
        std::memcpy(config_context, v, n + 1);
        return;
    }
    report_context(v, status);
}

void apply_pingafter(const char* v) {
    static constexpr Word<PingAfter> words[] = {{"negative", PING_AFTER_NEGATIVE}, {"failure", PING_AFTER_FAILURE}};
    apply_word("PingAfter", v, words, &config_pingafter);
}

// Seconds, 0 to 86400: digits only, anything else reported.
void apply_cacheseconds(const char* v) {
    const size_t n = std::strlen(v);
    long seconds = 0;
    bool ok = n > 0 && n <= 5;
    for (size_t i = 0; ok && i < n; ++i) {
        ok = v[i] >= '0' && v[i] <= '9';
        seconds = seconds * 10 + (v[i] - '0');
    }
    if (ok && seconds <= 86400) config_cacheseconds = static_cast<int32_t>(seconds);
    else report_value("CacheSeconds", v);
}

struct Key {
    const char* name;
    void (*apply)(const char* value);
};

constexpr Key kKeys[] = {
    {"Server", apply_server},
    {"Port", apply_port},
    {"SearchUser", apply_user},
    {"SearchPass", apply_password},
    {"ConvertPercent", apply_convertpercent},
    {"Debug", apply_debug},
    {"Timeout", apply_timeout},
    {"FailureReply", apply_failurereply},
    {"Concurrency", apply_concurrency},
    {"Charset", apply_charset},
    {"StripRealm", apply_striprealm},
    {"StripDomain", apply_stripdomain},
    {"IgnoreCase", apply_ignorecase},
    {"Context", apply_context},
    {"Membership", apply_membership},
    {"PingAfter", apply_pingafter},
    {"CacheSeconds", apply_cacheseconds},
};

void apply(const char* key, const char* value) {
    for (const Key& k : kKeys) {
        if (ascii_iequals(key, k.name)) {
            k.apply(value);
            return;
        }
    }
}

// Reads the file from its start and applies every setting line. 0 at the
// end of the file, 1 on a read error.
int read_settings(int fd) {
    static ConfigReader reader;
    static char line[LINE_SIZE];
    if (lseek(fd, 0, SEEK_SET) != 0) {
        config_errno = errno;
        return 1;
    }
    reader.fd = fd;
    reader.pos = 0;
    reader.end = 0;
    int status;
    while ((status = next_line(&reader, line)) == 1) {
        if (line[0] == '\0' || line[0] == ';' || line[0] == '#') continue;
        char* tokens[MAX_TOKENS];
        if (splitlinetotokens(line, tokens, MAX_TOKENS) != 2) continue;
        apply(tokens[0], tokens[1]);
    }
    if (status < 0) config_errno = errno;
    rt::wipe(&reader, sizeof reader);
    rt::wipe(line, sizeof line);
    return status == 0 ? 0 : 1;
}

// After the whole file: the contexts under the character set, and the
// server list taken apart.
void finish() {
    const ContextStatus status = context_list_parse(config_context, config_charset, &config_contexts);
    if (status != CONTEXT_OK) {
        report_context(config_context, status);
        config_context[0] = '\0';
    }
    parse_server_list(config_server, config_port, &config_servers);
    if (config_servers.left_out != 0) {
        reported = true;
        addtolog("config: Server lists more than %zu entries; the %zu after them are left out.\r\n",
                 SERVER_ENTRIES_MAX, config_servers.left_out);
    }
}

}  // namespace

int splitlinetotokens(char* line, char** tokens, int max) {
    int count = 0;
    char* p = line;
    while (*p == ' ') ++p;
    while (*p != '\0' && count < max) {
        tokens[count++] = p;
        while (*p != '\0' && *p != ' ') ++p;
        if (*p == '\0') break;
        *p++ = '\0';
        while (*p == ' ') ++p;
    }
    return count;
}

void config_reset() {
    rt::wipe(config_password, sizeof config_password);
    std::memset(config_server, 0, sizeof config_server);
    std::memset(config_user, 0, sizeof config_user);
    config_port = DEFAULT_PORT;
    config_convertpercent = 0;
    config_debug = 0;
    config_timeout = DEFAULT_TIMEOUT;
    config_failurereply = FAILURE_REPLY_ERR;
    config_concurrency = 0;
    config_charset = CHARSET_ISO8859_1;
    config_striprealm = 0;
    config_stripdomain = 0;
    config_ignorecase = 0;
    config_membership = MEMBERSHIP_USER;
    config_pingafter = PING_AFTER_NEGATIVE;
    config_cacheseconds = 0;
    std::memset(config_context, 0, sizeof config_context);
    config_contexts.count = 0;
    config_servers.count = 0;
    config_servers.left_out = 0;
}

int readconfig() {
    char name[sizeof myname_buffer + sizeof ".conf"];
    if (derive_file_name(myname, sizeof myname_buffer - 1, ".conf", name, sizeof name) != 0) {
        return 1;
    }
    int raw;
    do {
        raw = open(name, O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        config_errno = errno;
        return 1;
    }
    rt::UniqueFd fd(raw);

    reported = false;
    reporting = false;
    int status = read_settings(fd.get());
    // The second reading reports what the first could not use; it applies
    // the same lines again, which changes nothing.
    report_charset = config_charset;
    reporting = true;
    if (status == 0) status = read_settings(fd.get());
    if (status == 0) finish();
    reporting = false;
    if (reported) writetolog();
    return status;
}
