#include "frontend/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

namespace {

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

// A decimal integer as atoi reads it (white space, sign, digits), kept in
// 32 bits; out-of-range values are clamped by strtol and then wrapped.
int32_t read_int(const char* s) { return static_cast<int32_t>(std::strtol(s, nullptr, 10)); }

void apply(const char* key, const char* value) {
    if (ascii_iequals(key, "Server")) {
        std::snprintf(config_server, sizeof config_server, "%s", value);
    } else if (ascii_iequals(key, "Port")) {
        config_port = read_int(value);
        if (config_port == 0) config_port = DEFAULT_PORT;
    } else if (ascii_iequals(key, "SearchUser")) {
        copy_text(config_user, value);
    } else if (ascii_iequals(key, "SearchPass")) {
        copy_text(config_password, value);
    } else if (ascii_iequals(key, "ConvertPercent")) {
        if (ascii_iequals(value, "Yes")) config_convertpercent = 1;
    } else if (ascii_iequals(key, "Debug")) {
        if (ascii_iequals(value, "Yes")) config_debug = 1;
    } else if (ascii_iequals(key, "Timeout")) {
        config_timeout = read_int(value);
        if (config_timeout <= 0) config_timeout = DEFAULT_TIMEOUT;
    } else if (ascii_iequals(key, "FailureReply")) {
        if (ascii_iequals(value, "ERR")) config_failurereply = FAILURE_REPLY_ERR;
        if (ascii_iequals(value, "BH")) config_failurereply = FAILURE_REPLY_BH;
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
    if (raw < 0) return 1;
    rt::UniqueFd fd(raw);

    static ConfigReader reader;
    static char line[LINE_SIZE];
    reader.fd = fd.get();
    reader.pos = 0;
    reader.end = 0;
    int status;
    while ((status = next_line(&reader, line)) == 1) {
        if (line[0] == '\0' || line[0] == ';' || line[0] == '#') continue;
        char* tokens[MAX_TOKENS];
        if (splitlinetotokens(line, tokens, MAX_TOKENS) != 2) continue;
        apply(tokens[0], tokens[1]);
    }
    rt::wipe(&reader, sizeof reader);
    rt::wipe(line, sizeof line);
    return status == 0 ? 0 : 1;
}
