#include "frontend/requestloop.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/groupcheck.h"
#include "frontend/linereader.h"
#include "frontend/log.h"
#include "frontend/progname.h"
#include "frontend/requestparse.h"
#include "frontend/reason.h"
#include "frontend/servers.h"
#include "ncpclient/ncpclient.h"
#include "runtime/wipe.h"

namespace {

// A helper that cannot start waits this long before it ends, so that a proxy
// restarting failed helpers at once does not hammer the directory.
constexpr time_t START_FAILURE_DELAY_SECONDS = 3;

LineReader input;

int write_all(int fd, const char* text, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, text, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 1;
        text += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// Appends text to line at *n, within size (the line feed keeps its room);
// false when it does not fit.
bool append(std::span<char> line, size_t* n, std::string_view text) {
    if (text.size() > line.size() - 1 - *n) return false;
    text.copy(line.subspan(*n).data(), text.size());
    *n += text.size();
    return true;
}

// The reply line, the request's channel ID first when it had one, in one
// write. An answer the directory could not give is ERR, or with
// FailureReply BH the proxy's "broken helper" reply with a short reason,
// which it neither caches nor takes for "not a member".
[[gnu::hot]] int write_reply(int fd, const char* channel, int result) {
    std::string_view text = "ERR";
    std::string_view reason;
    switch (result) {
        case RESULT_MEMBER: text = "OK"; break;
        case RESULT_INVALID: text = "ERR Invalid string"; break;
        case RESULT_UNREACHABLE: reason = "directory unreachable"; break;
        case RESULT_FAILED: reason = "directory request failed"; break;
        case RESULT_NAME_TOO_LONG: reason = "name too long"; break;
        default: break;
    }
    std::array<char, REQUEST_SIZE + 64> line;
    size_t n = 0;
    bool fits = true;
    if (channel[0] != '\0') fits = append(line, &n, channel) && append(line, &n, " ");
    if (!reason.empty() && config_failurereply == FAILURE_REPLY_BH) {
        fits = fits && append(line, &n, "BH message=\"") && append(line, &n, reason) && append(line, &n, "\"");
    } else {
        fits = fits && append(line, &n, text);
    }
    if (!fits) return 1;
    line[n++] = '\n';
    return write_all(fd, line.data(), n);
}

RequestForm request_form() {
    return RequestForm{config_concurrency != 0, config_convertpercent != 0, config_striprealm != 0,
                       config_stripdomain != 0};
}

// A line without a channel ID although Concurrency is on: a proxy that sends
// channel IDs sends one with every request, so this one does not (a squid
// without "concurrency="), and it takes a reply without one. The first such
// line is logged, further ones with Debug.
bool no_channel_seen = false;

int answer_without_channel() {
    if (!no_channel_seen || config_debug) {
        addtolog("request without a channel ID, answered ERR.\r\n");
        writetolog();
    }
    no_channel_seen = true;
    return RESULT_NOT_MEMBER;
}

// A connection phase while serving. When it tried servers and reached none,
// one line says so and when the next try is due; when every server still
// backs off it tries nothing and logs nothing.
int reconnect() {
    if (make_connection() == 0) return 0;
    if (servers_tried() > 0) {
        addtolog("no directory server reachable, next try in %ld s.\r\n", servers_next_try_seconds(ncp_clock_ns()));
        writetolog();
    }
    return 1;
}

const char* charset_name(Charset cs) {
    switch (cs) {
        case CHARSET_UTF8: return "UTF-8";
        case CHARSET_AUTO: return "auto";
        case CHARSET_ISO8859_1: break;
    }
    return "ISO-8859-1";
}

// The settings line; the keys of the request forms only when they are not
// at their defaults.
void log_settings(const char* head) {
    char user[LOG_ESCAPED_SIZE];
    log_request_name(config_charset, config_user, user, sizeof user);
    addtolog("%s server=%s:%lu, SearchUser:%s, ConvertPercent:%s", head, config_server,
             static_cast<unsigned long>(static_cast<uint32_t>(config_port)), user,
             config_convertpercent ? "Yes" : "No");
    if (config_concurrency) addtolog(", Concurrency:Yes");
    if (config_charset != CHARSET_ISO8859_1) addtolog(", Charset:%s", charset_name(config_charset));
    if (config_striprealm) addtolog(", StripRealm:Yes");
    if (config_stripdomain) addtolog(", StripDomain:Yes");
    if (config_ignorecase) addtolog(", IgnoreCase:Yes");
    if (config_context[0] != '\0') {
        char context[LOG_ESCAPED_SIZE];
        log_request_name(config_charset, config_context, context, sizeof context);
        addtolog(", Context:%s", context);
    }
    addtolog(".\r\n");
}

// The stop line, and the secrets held for reconnects cleared: the password,
// and the connection record wiped back to its start state.
void stop() {
    addtolog("wrenacl stopped.\r\n");
    writetolog();
    rt::wipe(config_password, sizeof config_password);
    NCPCONN_init(&conn);
}

// A start that failed: the pending log line out, the stop, and the delay.
int start_failed() {
    writetolog();
    stop();
    timespec left{START_FAILURE_DELAY_SECONDS, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}

}  // namespace

[[gnu::hot]] int handle_request() {
    switch (parse_request(buffer, request_form(), &chkrequest)) {
        case PARSE_NO_CHANNEL: return answer_without_channel();
        case PARSE_NO_BLANK: return RESULT_INVALID;
        case PARSE_OK: break;
    }
    if (convert_request_names() != 0) return RESULT_NOT_ASKED;
    // No connection held (the last reconnect reached no server): one
    // connection phase before the check, and none after it.
    bool phase_ran = false;
    if (conn.sock < 0) {
        clear_connection();
        phase_ran = true;
        if (reconnect() != 0) return check_group_unreachable();
    }
    // The check and its ping share one budget: every exchange ends within
    // Timeout, and all of them within Timeout + 1 s of this point.
    conn.budget_end = ncp_clock_ns() + (static_cast<int64_t>(config_timeout) + 1) * NCP_NS_PER_SECOND;
    int result = check_group();
    if (result != RESULT_MEMBER) {
        // A failed exchange has closed the socket already; then the ping
        // fails at once, without a wait.
        bool broken = ncp_failure_is_transport(conn.failure.kind);
        conn.failure = NcpFailure{};
        if (NCPCONN_ndsping(&conn) != 0) {
            broken = broken || conn.failure.kind != NCP_FAIL_NOT_CONNECTED;
            if (config_debug) log_failure_reason("ping", conn.failure);
            addtolog("nds ping failed. reconnecting.\r\n");
            writetolog();
            if (broken) server_connection_lost();
            clear_connection();
            if (!phase_ran) reconnect();
        }
    }
    conn.budget_end = 0;
    return result;
}

[[gnu::hot]] void serve_requests(int in_fd, int out_fd) {
    line_reader_init(&input, in_fd);
    for (;;) {
        const LineStatus status = read_request_line(&input, buffer, sizeof buffer);
        if (status == LINE_END) return;
        int result = RESULT_NOT_MEMBER;
        if (status == LINE_OK) {
            result = handle_request();
        } else {
            // An over-long line is answered "ERR" without a check (a name cut
            // short could name another user), with its channel ID.
            chkrequest.channel = config_concurrency ? leading_channel(buffer, sizeof buffer - 1) : "";
        }
        if (write_reply(out_fd, chkrequest.channel, result) != 0) return;
    }
}

int wrenacl_main(int argc, char** argv) {
    // A proxy that goes away must not kill the helper before its stop line.
    std::signal(SIGPIPE, SIG_IGN);
    NCPCONN_init(&conn);
    set_program_name(argc, argv);

    if (readconfig() != 0) {
        addtolog("readconfig() failed.\r\n");
        return start_failed();
    }
    if (make_connection() != 0) {
        log_settings("connection to server failed.");
        return start_failed();
    }
    log_settings("wrenacl started.");
    writetolog();

    serve_requests(STDIN_FILENO, STDOUT_FILENO);

    clear_connection();
    stop();
    return 0;
}
