#include "frontend/requestloop.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/groupcheck.h"
#include "frontend/linereader.h"
#include "frontend/log.h"
#include "frontend/percent.h"
#include "frontend/progname.h"
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

// An answer the directory could not give: ERR, or with FailureReply BH the
// proxy's "broken helper" reply with a short reason, which it neither
// caches nor takes for "not a member".
int write_undecided(int fd, const char* reason) {
    if (config_failurereply != FAILURE_REPLY_BH) return write_all(fd, "ERR\n", 4);
    char line[64];
    const int n = std::snprintf(line, sizeof line, "BH message=\"%s\"\n", reason);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof line) return 1;
    return write_all(fd, line, static_cast<size_t>(n));
}

int write_reply(int fd, int result) {
    switch (result) {
        case RESULT_MEMBER: return write_all(fd, "OK\n", 3);
        case RESULT_INVALID: return write_all(fd, "ERR Invalid string\n", 19);
        case RESULT_UNREACHABLE: return write_undecided(fd, "directory unreachable");
        case RESULT_FAILED: return write_undecided(fd, "directory request failed");
        default: return write_all(fd, "ERR\n", 4);
    }
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

void log_settings(const char* head) {
    char user[LOG_ESCAPED_SIZE];
    log_escape(config_user, user, sizeof user);
    addtolog("%s server=%s:%lu, SearchUser:%s, ConvertPercent:%s.\r\n", head, config_server,
             static_cast<unsigned long>(static_cast<uint32_t>(config_port)), user,
             config_convertpercent ? "Yes" : "No");
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

int handle_request() {
    chkuser = buffer;
    char* blank = std::strchr(buffer, ' ');
    if (blank == nullptr) {
        chkgroup = buffer + std::strlen(buffer);
        return RESULT_INVALID;
    }
    *blank = '\0';
    char* group = blank + 1;
    while (*group == ' ') ++group;
    chkgroup = group;
    if (config_convertpercent) {
        translate_stringfrom_percent(chkuser);
        translate_stringfrom_percent(chkgroup);
    }
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

void serve_requests(int in_fd, int out_fd) {
    line_reader_init(&input, in_fd);
    for (;;) {
        LineStatus status = read_request_line(&input, buffer, sizeof buffer);
        if (status == LINE_END) return;
        // An over-long line is answered without a check: a name cut short
        // could name another user.
        int result = status == LINE_OK ? handle_request() : RESULT_NOT_MEMBER;
        if (write_reply(out_fd, result) != 0) return;
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
