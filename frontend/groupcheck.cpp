#include "frontend/groupcheck.h"

#include <span>

#include "frontend/charset.h"
#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/context.h"
#include "frontend/groupmatch.h"
#include "frontend/log.h"
#include "frontend/reason.h"
#include "frontend/request.h"
#include "ncpclient/ncpclient.h"
#include "runtime/cursor.h"

uint8_t group_buffer[GROUP_BUFFER_SIZE];

namespace {

// NDS errors that are answers: the user does not exist, or has no groups.
constexpr int32_t NDS_NO_SUCH_ENTRY = -601;
constexpr int32_t NDS_NO_SUCH_ATTRIBUTE = -603;

// The user and group names of the request as code units. A name never has
// more units than bytes, and all of them lie in the one request line. Kept
// together on one page: every check touches them between system calls.
struct RequestNames {
    uint16_t user[REQUEST_SIZE];
    uint16_t groups[REQUEST_SIZE];  // one after another
    uint16_t group_start[REQUEST_GROUPS_MAX];
    uint16_t group_length[REQUEST_GROUPS_MAX];
    uint16_t user_length;
    uint16_t candidate[RESOLVE_NAME_MAX_UNITS];  // a name the user is asked as
};
static_assert(sizeof(RequestNames) <= 4096, "the names fit one page");
alignas(4096) RequestNames names;

std::span<const uint16_t> user_name() { return std::span<const uint16_t>(names.user, names.user_length); }
std::span<const uint16_t> group_name(size_t i) {
    return std::span<const uint16_t>(names.groups).subspan(names.group_start[i], names.group_length[i]);
}

// A stored name for the log.
char stored_text[LOGBUFFER_SIZE];

// What resolving the user ended in when it found the entry.
constexpr int RESOLVED = -1;

bool nds_error_is(const NcpFailure& f, int32_t code) { return f.kind == NCP_FAIL_NDS && f.code == code; }

// A check that could not be decided: no connection, or a failed exchange.
int undecided(const NcpFailure& f) {
    return f.kind == NCP_FAIL_NOT_CONNECTED ? RESULT_UNREACHABLE : RESULT_FAILED;
}

bool log_utf8() { return config_charset != CHARSET_ISO8859_1; }

LetterCase letter_case() {
    if (!config_ignorecase) return CASE_EXACT;
    return config_charset == CHARSET_ISO8859_1 ? CASE_FOLD_LATIN1 : CASE_FOLD;
}

// The last Debug line of a request, and the flush of its lines: the group
// that matched, or all the groups asked for.
void log_decision(const char* user, int result, size_t matched) {
    char group[LOG_ESCAPED_SIZE];
    addtolog("%s %s group ", user, result == RESULT_MEMBER ? "in" : "NOT in");
    for (size_t i = 0; i < chkrequest.group_count; ++i) {
        if (result == RESULT_MEMBER && i != matched) continue;
        log_request_name(config_charset, chkrequest.groups[i], group, sizeof group);
        addtolog("%s%s", result != RESULT_MEMBER && i > 0 ? ", " : "", group);
    }
    addtolog("\r\n");
    writetolog();
}

// A name the user was not found as; the line goes on with the next name's
// lines, or with the decision after the last.
void log_not_resolved(const char* name, bool last) {
    addtolog("failed to resolve %s. %s", name, last ? "" : "\r\n");
}

// The name the user is tried as in the k-th place, for the log: the
// request's own as it came, one completed with a context whole (also when
// it is too long to be asked for).
const char* shown_name(const char* user, std::span<const uint16_t> name, size_t k) {
    static uint16_t whole[REQUEST_SIZE + CONTEXT_TEXT_SIZE];
    static char text[3 * std::size(whole) + 1];  // every unit at most 3 bytes
    size_t length = 0;
    if (candidate_name(name, config_contexts, k, whole, &length) != CANDIDATE_OK || length <= name.size()) return user;
    log_escape_units(std::span<const uint16_t>(whole, length), log_utf8(), text, sizeof text);
    return text;
}

// Resolves the user as each name it is tried as, in turn, until one is
// found (RESOLVED, *entry_id set). "No such entry" moves on to the next
// name and keeps the connection; any other failure drops it. A name too
// long for the resolve request is never cut and never sent.
int resolve_user(const char* user, uint32_t* entry_id) {
    const std::span<const uint16_t> name = user_name();
    const size_t count = candidate_count(name, config_contexts);
    bool too_long = false;
    for (size_t k = 0; k < count; ++k) {
        size_t length = 0;
        const CandidateStatus status = candidate_name(name, config_contexts, k, names.candidate, &length);
        if (status == CANDIDATE_NONE) break;
        const char* shown = config_debug ? shown_name(user, name, k) : user;
        if (status == CANDIDATE_TOO_LONG) {
            too_long = true;
            if (config_debug) {
                addtolog("DEBUG: resolve failed: name too long\r\n");
                log_not_resolved(shown, k + 1 == count);
            }
            continue;
        }
        conn.failure = NcpFailure{};
        if (ncp_NDS_RESOLVE_NAME(&conn, std::span<const uint16_t>(names.candidate, length), entry_id) == 0) {
            return RESOLVED;
        }
        const NcpFailure why = conn.failure;
        if (config_debug) {
            log_failure_reason("resolve", why);
            log_not_resolved(shown, k + 1 == count);
        }
        if (!nds_error_is(why, NDS_NO_SUCH_ENTRY)) {
            clear_connection();
            return undecided(why);
        }
    }
    return too_long ? RESULT_NAME_TOO_LONG : RESULT_NOT_MEMBER;
}

// Reads the entry's groups once and compares every stored name with every
// group asked for; *matched is the group that matched.
int read_groups(uint32_t entry_id, const char* user, size_t* matched) {
    uint32_t syntax = 0;
    size_t used = sizeof group_buffer;
    conn.failure = NcpFailure{};
    if (ncp_NDS_READ(&conn, entry_id, "Group Membership", &syntax, group_buffer, &used) != 0) {
        if (config_debug) {
            log_failure_reason("read", conn.failure);
            addtolog("ncp_f_NDS_READ(Group Membership) failed. ");
        }
        // A user without the attribute is in no group.
        return nds_error_is(conn.failure, NDS_NO_SUCH_ATTRIBUTE) ? RESULT_NOT_MEMBER : undecided(conn.failure);
    }
    if (used > sizeof group_buffer) used = sizeof group_buffer;
    const LetterCase letters = letter_case();
    rt::Reader values(std::span<const uint8_t>(group_buffer, used));
    const uint32_t count = values.le32();
    for (uint32_t i = 0; i < count && values.ok(); ++i) {
        const uint32_t length = values.le32();
        const std::span<const uint8_t> value = values.bytes(length);
        if (!values.ok()) break;
        if (config_debug) {
            stored_name_for_log(value, log_utf8(), stored_text, sizeof stored_text);
            addtolog("DEBUG: Object \"%s\" is in group \"%s\"\r\n", user, stored_text);
        }
        for (size_t g = 0; g < chkrequest.group_count; ++g) {
            if (compare_group_units(value, group_name(g), letters) == 0) {
                *matched = g;
                return RESULT_MEMBER;
            }
        }
    }
    return RESULT_NOT_MEMBER;
}

}  // namespace

[[gnu::hot]] int convert_request_names() {
    const char* refused = nullptr;
    size_t n = 0;
    if (name_to_units(config_charset, chkrequest.user, names.user, &n) != NAME_OK) refused = "user";
    names.user_length = static_cast<uint16_t>(n);
    size_t used = 0;
    for (size_t i = 0; i < chkrequest.group_count && refused == nullptr; ++i) {
        const std::span<uint16_t> room = std::span<uint16_t>(names.groups).subspan(used);
        if (name_to_units(config_charset, chkrequest.groups[i], room, &n) != NAME_OK) refused = "group";
        names.group_start[i] = static_cast<uint16_t>(used);
        names.group_length[i] = static_cast<uint16_t>(n);
        used += n;
    }
    if (refused == nullptr) return 0;
    if (config_debug) {
        char user[LOG_ESCAPED_SIZE];
        log_request_name(config_charset, chkrequest.user, user, sizeof user);
        addtolog("DEBUG: check failed: %s name not UTF-8\r\n", refused);
        log_decision(user, RESULT_NOT_ASKED, 0);
    }
    return 1;
}

[[gnu::hot]] int check_group() {
    char user[LOG_ESCAPED_SIZE];
    user[0] = '\0';
    if (config_debug) log_request_name(config_charset, chkrequest.user, user, sizeof user);
    uint32_t entry_id = 0;
    size_t matched = 0;
    int result = resolve_user(user, &entry_id);
    if (result == RESOLVED) result = read_groups(entry_id, user, &matched);
    if (config_debug) log_decision(user, result, matched);
    return result;
}

int check_group_unreachable() {
    if (config_debug) {
        char user[LOG_ESCAPED_SIZE];
        log_request_name(config_charset, chkrequest.user, user, sizeof user);
        addtolog("DEBUG: check failed: no directory server reachable\r\n");
        log_decision(user, RESULT_UNREACHABLE, 0);
    }
    return RESULT_UNREACHABLE;
}
