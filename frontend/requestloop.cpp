#include "frontend/requestloop.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <span>
#include <string_view>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/groupcheck.h"
#include "frontend/linereader.h"
#include "frontend/log.h"
#include "frontend/requestparse.h"

namespace {

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

// The reply line, the request's channel ID first when it had one, in one
// write. An answer the directory could not give is ERR, or with
// FailureReply BH the proxy's "broken helper" reply with a short reason,
// which it neither caches nor takes for "not a member".
[[gnu::hot]] int write_reply(int fd, std::string_view channel, int result) {
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
    const bool bh = !reason.empty() && config_failurereply == FAILURE_REPLY_BH;
    const std::string_view parts[] = {channel, channel.empty() ? "" : " ", bh ? "BH message=\"" : text,
                                      bh ? reason : "", bh ? "\"" : "", "\n"};
    std::array<char, REQUEST_SIZE + 64> line;
    size_t n = 0;
    for (std::string_view part : parts) {
        if (part.size() > line.size() - n) return 1;
        n += part.copy(line.data() + n, part.size());
    }
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

}  // namespace

[[gnu::hot]] int handle_request() {
    switch (parse_request(buffer, request_form(), &chkrequest)) {
        case PARSE_NO_CHANNEL: return answer_without_channel();
        case PARSE_NO_BLANK: return RESULT_INVALID;
        case PARSE_REFUSED: return check_refused(chkrequest.refused);
        case PARSE_OK: break;
    }
    if (const char* refused = convert_request_names()) return check_refused(refused);
    if (connection_before_check() != 0) return check_unreachable();
    // The check and its ping: every exchange ends within Timeout, and all of
    // them within Timeout + 1 s of this point.
    const RequestBudget budget(config_timeout + 1);
    const CheckResult check = check_group();
    connection_after_check(check);
    return check.verdict;
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
