#include "frontend/groupcheck.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "frontend/cache.h"
#include "frontend/charset.h"
#include "frontend/config.h"
#include "frontend/context.h"
#include "frontend/groupmatch.h"
#include "frontend/log.h"
#include "frontend/logtext.h"
#include "frontend/reason.h"
#include "frontend/request.h"
#include "runtime/clock.h"
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
    uint16_t candidate_length;                   // of the one that resolved
};
static_assert(sizeof(RequestNames) <= 4096, "the names fit one page");
alignas(4096) RequestNames names;

std::span<const uint16_t> user_name() { return std::span<const uint16_t>(names.user, names.user_length); }
std::span<const uint16_t> group_name(size_t i) {
    return std::span<const uint16_t>(names.groups).subspan(names.group_start[i], names.group_length[i]);
}

// A read in batches (the iteration's handles), for the user's groups or a
// group's members.
NdsBatchedRead batched;

// The user as the request names it, for the Debug lines (only with Debug).
char user_text[LOG_ESCAPED_SIZE];
// A stored name for the log.
char stored_text[LOGBUFFER_SIZE];

bool nds_error_is(const NcpFailure& f, int32_t code) { return f.kind == NCP_FAIL_NDS && f.code == code; }

// A check that could not be decided: no connection, or a failed exchange.
int undecided(const NcpFailure& f) {
    return f.kind == NCP_FAIL_NOT_CONNECTED ? RESULT_UNREACHABLE : RESULT_FAILED;
}

// One exchange of the check ended with status rc: its failure kept, and
// whether the directory answered it (a reply, or an NDS error).
void note_exchange(CheckResult* check, int rc) {
    check->failure = conn.failure;
    const bool answered = rc == 0 || conn.failure.kind == NCP_FAIL_NDS;
    check->answered = (check->exchanges == 0 || check->answered) && answered;
    ++check->exchanges;
}

bool log_utf8() { return config_charset != CHARSET_ISO8859_1; }

LetterCase letter_case() {
    if (!config_ignorecase) return CASE_EXACT;
    return config_charset == CHARSET_ISO8859_1 ? CASE_FOLD_LATIN1 : CASE_FOLD;
}

void log_user_text() { log_request_name(config_charset, chkrequest.user, user_text, sizeof user_text); }

// A name the user was not found as; the line goes on with the next name's
// lines, or with the decision after the last.
void log_not_resolved(const char* name, bool last) {
    addtolog("failed to resolve %s. %s", name, last ? "" : "\r\n");
}

// The name the user is tried as in the k-th place, for the log: the
// request's own as it came, one completed with a context whole.
const char* shown_name(std::span<const uint16_t> name, size_t k) {
    static char text[LOG_COMPLETED_SIZE];
    if (!log_completed_name(name, config_contexts, k, log_utf8(), text, sizeof text)) return user_text;
    return text;
}

// The user as it was found: its entry, and what the cache kept of it.
struct UserFound {
    uint32_t entry_id;
    CacheHit kept;  // has_list false when nothing was kept
};

std::span<const uint16_t> resolved_name() {
    return std::span<const uint16_t>(names.candidate, names.candidate_length);
}

// Resolves the user as each name it is tried as, in turn, until one is
// found (check->failed stays CHECK_DONE with verdict -1, *entry_id set).
// "No such entry" moves on to the next name; any other failure ends the
// check undecided. A name too long for the resolve request is never cut and
// never sent.
void resolve_user(CheckResult* check, uint32_t* entry_id) {
    const std::span<const uint16_t> name = user_name();
    const size_t count = candidate_count(name, config_contexts);
    bool too_long = false;
    for (size_t k = 0; k < count; ++k) {
        size_t length = 0;
        const CandidateStatus status = candidate_name(name, config_contexts, k, names.candidate, &length);
        if (status == CANDIDATE_NONE) break;
        const char* shown = config_debug ? shown_name(name, k) : user_text;
        if (status == CANDIDATE_TOO_LONG) {
            too_long = true;
            if (config_debug) {
                addtolog("DEBUG: resolve failed: name too long\r\n");
                log_not_resolved(shown, k + 1 == count);
            }
            continue;
        }
        const int rc = ncp_NDS_RESOLVE_NAME(&conn, std::span<const uint16_t>(names.candidate, length), entry_id);
        note_exchange(check, rc);
        if (rc == 0) {
            names.candidate_length = static_cast<uint16_t>(length);
            return;
        }
        if (config_debug) {
            log_failure_reason("resolve", check->failure);
            log_not_resolved(shown, k + 1 == count);
        }
        if (!nds_error_is(check->failure, NDS_NO_SUCH_ENTRY)) {
            check->failed = CHECK_RESOLVE;
            check->verdict = undecided(check->failure);
            return;
        }
    }
    check->verdict = too_long ? RESULT_NAME_TOO_LONG : RESULT_NOT_MEMBER;
    if (!too_long) cache_put_entry(CACHE_USER, name, CACHE_NO_ENTRY, 0, {}, rt::clock_ns());
}

// The user found in the cache, or resolved: verdict -1 when found.
void find_user(CheckResult* check, UserFound* user) {
    user->kept = CacheHit{};
    if (cache_find(CACHE_USER, user_name(), rt::clock_ns(), &user->kept)) {
        check->cached = true;
        if (user->kept.state == CACHE_NO_ENTRY) {
            check->verdict = RESULT_NOT_MEMBER;
            return;
        }
        const std::span<const uint16_t> name = user->kept.name;
        const size_t n = name.size() < std::size(names.candidate) ? name.size() : std::size(names.candidate);
        std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n), names.candidate);
        names.candidate_length = static_cast<uint16_t>(n);
        user->entry_id = user->kept.entry_id;
        return;
    }
    resolve_user(check, &user->entry_id);
    user->kept = CacheHit{};
    // Under Membership group the user's list is never read: its entry is
    // kept now.
    if (check->verdict == -1 && config_membership == MEMBERSHIP_GROUP) {
        cache_put_entry(CACHE_USER, user_name(), CACHE_FOUND, user->entry_id, resolved_name(), rt::clock_ns());
    }
}

// -603, "no such attribute", on the first batch of a read.
bool no_attribute(const CheckResult& check) {
    return batched.batches == 0 && nds_error_is(check.failure, NDS_NO_SUCH_ATTRIBUTE);
}

void undecided_step(CheckResult* check, CheckStep step) {
    check->failed = step;
    check->verdict = undecided(check->failure);
}

// The stored names of one batch against every group asked for: the group
// that matched, or -1.
long match_groups(std::span<const uint8_t> batch, LetterCase letters) {
    rt::Reader values(batch);
    const uint32_t count = values.le32();
    for (uint32_t i = 0; i < count && values.ok(); ++i) {
        const uint32_t length = values.le32();
        const std::span<const uint8_t> value = values.bytes(length);
        if (!values.ok()) break;
        if (config_debug) {
            stored_name_for_log(value, log_utf8(), stored_text, sizeof stored_text);
            log_make_room(std::strlen(user_text) + std::strlen(stored_text) + 64);
            addtolog("DEBUG: Object \"%s\" is in group \"%s\"\r\n", user_text, stored_text);
        }
        for (size_t g = 0; g < chkrequest.group_count; ++g) {
            if (compare_group_units(value, group_name(g), letters) == 0) return static_cast<long>(g);
        }
    }
    return -1;
}

// The members of one batch against the user's name: whether it is among
// them; *read counts the values looked at.
bool match_member(std::span<const uint8_t> batch, std::span<const uint16_t> key, long* read) {
    rt::Reader values(batch);
    const uint32_t count = values.le32();
    for (uint32_t i = 0; i < count && values.ok(); ++i) {
        const std::span<const uint8_t> value = values.bytes(values.le32());
        if (!values.ok()) break;
        ++*read;
        if (compare_member_units(value, key) == 0) return true;
    }
    return false;
}

// The batch just read, kept when the cache is on.
std::span<const uint8_t> batch_read(size_t used, uint32_t keep) {
    if (used > sizeof group_buffer) used = sizeof group_buffer;
    const std::span<const uint8_t> batch(group_buffer, used);
    cache_put_batch(keep, batch, batched.complete);
    return batch;
}

// Reads the attribute of the entry batch by batch, each batch kept under
// keep and handed to match, until match takes one or the list ends: 0, or
// the failed read's status (a first batch without the attribute is kept as
// a complete, empty list).
template <typename Match>
int read_batches(CheckResult* check, uint32_t entry, const char* attribute, uint32_t keep, Match match) {
    ncp_read_begin(&batched, entry, attribute);
    for (;;) {
        size_t used = sizeof group_buffer;
        const int rc = ncp_read_next(&conn, &batched, group_buffer, &used);
        note_exchange(check, rc);
        if (rc != 0) {
            if (no_attribute(*check)) {
                const uint8_t none[4] = {};
                cache_put_batch(keep, none, true);
            }
            return rc;
        }
        if (match(batch_read(used, keep)) || batched.complete) return 0;
    }
}

// The batches kept, handed to match until it takes one: whether they answer
// (a match, or the whole list was kept).
template <typename Match>
bool replay_kept(CacheHit kept, Match match) {
    std::span<const uint8_t> batch;
    bool taken = false;
    while (!taken && cache_next_batch(&kept, &batch)) taken = match(batch);
    return taken || kept.complete;
}

// The user's groups: what is kept, while it lasts; then read batch by batch
// (and kept), until a stored name matches a group asked for.
void read_groups(CheckResult* check, const UserFound& user) {
    const LetterCase letters = letter_case();
    check->verdict = RESULT_NOT_MEMBER;
    long matched = -1;
    const auto match = [&](std::span<const uint8_t> batch) {
        matched = match_groups(batch, letters);
        return matched >= 0;
    };
    if (user.kept.has_list && replay_kept(user.kept, match)) {
        check->cached = true;
        check->matched = matched >= 0 ? static_cast<size_t>(matched) : 0;
        check->verdict = matched >= 0 ? RESULT_MEMBER : RESULT_NOT_MEMBER;
        return;
    }
    const uint32_t keep = cache_put_entry(CACHE_USER, user_name(), CACHE_FOUND, user.entry_id, resolved_name(),
                                          rt::clock_ns());
    if (read_batches(check, user.entry_id, "Group Membership", keep, match) != 0) {
        if (config_debug) {
            log_failure_reason("read", check->failure);
            addtolog("ncp_f_NDS_READ(Group Membership) failed. ");
        }
        // A user without the attribute is in no group.
        if (!no_attribute(*check)) undecided_step(check, CHECK_READ);
        return;
    }
    if (matched >= 0) {
        check->matched = static_cast<size_t>(matched);
        check->verdict = RESULT_MEMBER;
    }
}

// The group's "Member", what is kept first, until the user is among them
// (*found): the number of values looked at; -2 for a group that does not
// exist, -1 when an exchange failed (check->failure). A group without the
// attribute has no members. *from_kept when nothing had to be asked.
long find_member(CheckResult* check, std::span<const uint16_t> group, std::span<const uint16_t> key, bool* found,
                 bool* from_kept) {
    const int64_t now = rt::clock_ns();
    long read = 0;
    const auto match = [&](std::span<const uint8_t> batch) { return *found = match_member(batch, key, &read); };
    CacheHit kept{};
    uint32_t id = 0;
    if (cache_find(CACHE_GROUP, group, now, &kept)) {
        *from_kept = true;
        if (kept.state == CACHE_NO_ENTRY) return -2;
        if (replay_kept(kept, match)) return read;
        id = kept.entry_id;
    } else {
        const int rc = ncp_NDS_RESOLVE_NAME(&conn, group, &id);
        note_exchange(check, rc);
        if (rc != 0 && nds_error_is(check->failure, NDS_NO_SUCH_ENTRY)) {
            cache_put_entry(CACHE_GROUP, group, CACHE_NO_ENTRY, 0, {}, now);
            return -2;
        }
        if (rc != 0) return -1;
    }
    *from_kept = false;
    read = 0;
    const uint32_t keep = cache_put_entry(CACHE_GROUP, group, CACHE_FOUND, id, {}, now);
    if (read_batches(check, id, "Member", keep, match) != 0) return no_attribute(*check) ? 0 : -1;
    return read;
}

// Each requested group resolved as the request names it (no contexts) and
// its "Member" read for the user's name as it resolved, until one holds it.
// A group that does not exist, or has no members, holds nobody.
void read_members(CheckResult* check) {
    uint16_t key[RESOLVE_NAME_MAX_UNITS];
    const size_t key_length = member_key(resolved_name(), key);
    char group[LOG_ESCAPED_SIZE];
    char user[LOG_ESCAPED_SIZE];
    if (config_debug) log_escape_units(resolved_name(), log_utf8(), user, sizeof user);
    bool too_long = false;
    bool all_kept = true;
    check->verdict = RESULT_NOT_MEMBER;
    for (size_t g = 0; g < chkrequest.group_count; ++g) {
        std::span<const uint16_t> name = group_name(g);
        if (!name.empty() && name[0] == '.') name = name.subspan(1);
        if (config_debug) log_request_name(config_charset, chkrequest.groups[g], group, sizeof group);
        if (name.size() > RESOLVE_NAME_MAX_UNITS) {
            too_long = true;
            if (config_debug) addtolog("DEBUG: group \"%s\": name too long\r\n", group);
            continue;
        }
        bool found = false;
        bool kept = false;
        const long read = find_member(check, name, std::span<const uint16_t>(key, key_length), &found, &kept);
        all_kept = all_kept && kept;
        if (read == -2) {
            if (config_debug) addtolog("DEBUG: group \"%s\" not found\r\n", group);
            continue;
        }
        if (read < 0) {
            if (config_debug) log_failure_reason("group", check->failure);
            undecided_step(check, CHECK_GROUP);
            return;
        }
        if (config_debug) {
            addtolog("DEBUG: group \"%s\": %ld members read, \"%s\" %s\r\n", group, read, user,
                     found ? "among them" : "not among them");
        }
        if (found) {
            check->matched = g;
            check->verdict = RESULT_MEMBER;
            break;
        }
    }
    if (too_long && check->verdict == RESULT_NOT_MEMBER) check->verdict = RESULT_NAME_TOO_LONG;
    check->cached = check->cached && all_kept;
}

// The Debug decision line for a check that ended at once.
int decided_at_once(const char* why, int verdict) {
    if (config_debug) {
        log_user_text();
        addtolog("DEBUG: check failed: %s\r\n", why);
        log_check_decision(CheckResult{verdict, CHECK_DONE, NcpFailure{}, false, false, 0, 0});
    }
    return verdict;
}

}  // namespace

[[gnu::hot]] const char* convert_request_names() {
    size_t n = 0;
    if (name_to_units(config_charset, chkrequest.user, names.user, &n) != NAME_OK) return "user name not UTF-8";
    names.user_length = static_cast<uint16_t>(n);
    size_t used = 0;
    for (size_t i = 0; i < chkrequest.group_count; ++i) {
        const std::span<uint16_t> room = std::span<uint16_t>(names.groups).subspan(used);
        if (name_to_units(config_charset, chkrequest.groups[i], room, &n) != NAME_OK) return "group name not UTF-8";
        names.group_start[i] = static_cast<uint16_t>(used);
        names.group_length[i] = static_cast<uint16_t>(n);
        used += n;
    }
    return nullptr;
}

[[gnu::hot]] CheckResult check_group() {
    CheckResult check{RESULT_NOT_MEMBER, CHECK_DONE, NcpFailure{}, false, false, 0, 0};
    user_text[0] = '\0';
    if (config_debug) log_user_text();
    UserFound user{};
    check.verdict = -1;
    find_user(&check, &user);
    if (check.verdict == -1 && config_membership != MEMBERSHIP_GROUP) {
        read_groups(&check, user);
        // Under "either", a user's list that could not be read leaves the
        // check undecided; one without the groups asked for goes on to them.
        if (config_membership == MEMBERSHIP_EITHER && check.verdict == RESULT_NOT_MEMBER) check.verdict = -1;
    }
    if (check.verdict == -1) read_members(&check);
    // From the cache only when nothing had to be asked.
    check.cached = check.cached && check.exchanges == 0;
    return check;
}

void log_check_decision(const CheckResult& check) {
    if (!config_debug) return;
    const bool member = check.verdict == RESULT_MEMBER;
    char group[LOG_ESCAPED_SIZE];
    log_make_room(2 * LOG_ESCAPED_SIZE + 16);  // the user and every group asked, at most one line's bytes each
    addtolog("%s %s group ", user_text, member ? "in" : "NOT in");
    for (size_t i = 0; i < chkrequest.group_count; ++i) {
        if (member && i != check.matched) continue;
        log_request_name(config_charset, chkrequest.groups[i], group, sizeof group);
        addtolog("%s%s", !member && i > 0 ? ", " : "", group);
    }
    addtolog("%s\r\n", check.cached ? " (from the cache)" : "");
    writetolog();
}

int check_refused(const char* why) { return decided_at_once(why, RESULT_NOT_ASKED); }

int check_unreachable() { return decided_at_once("no directory server reachable", RESULT_UNREACHABLE); }
