#include "frontend/groupcheck.h"

#include <span>

#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/log.h"
#include "frontend/reason.h"
#include "frontend/request.h"
#include "ncpclient/ncpclient.h"
#include "runtime/bytes.h"
#include "runtime/cursor.h"

uint8_t group_buffer[GROUP_BUFFER_SIZE];

namespace {

// NDS errors that are answers: the user does not exist, or has no groups.
constexpr int32_t NDS_NO_SUCH_ENTRY = -601;
constexpr int32_t NDS_NO_SUCH_ATTRIBUTE = -603;

bool nds_error_is(const NcpFailure& f, int32_t code) { return f.kind == NCP_FAIL_NDS && f.code == code; }

// A check that could not be decided: no connection, or a failed exchange.
int undecided(const NcpFailure& f) {
    return f.kind == NCP_FAIL_NOT_CONNECTED ? RESULT_UNREACHABLE : RESULT_FAILED;
}

// A stored name: little-endian 16-bit code units as the read left them.
struct StoredName {
    std::span<const uint8_t> bytes;
    size_t count;  // whole code units in bytes
};

uint16_t unit_at(const StoredName& n, size_t k) {
    return k < n.count ? rt::load_le16(n.bytes.subspan(2 * k, 2).data()) : 0;
}

// Past a leading '.' and a leading "CN=" (either case of the letters).
size_t start_position(const StoredName& n) {
    size_t p = 0;
    if (n.count > 0 && unit_at(n, 0) == '.') p = 1;
    uint16_t c = unit_at(n, p), m = unit_at(n, p + 1), eq = unit_at(n, p + 2);
    if (p + 2 < n.count && (c == 'C' || c == 'c') && (m == 'N' || m == 'n') && eq == '=') p += 3;
    return p;
}

// From a '.' to the next '=' of the name, or to its end.
size_t skip_type(const StoredName& n, size_t p) {
    while (p < n.count && unit_at(n, p) != '=') ++p;
    return p;
}

// The name in the typeless form of a request, one debug line.
void log_name(const StoredName& n, const char* user) {
    static const char hex[] = "0123456789ABCDEF";
    addtolog("DEBUG: Object \"%s\" is in group \".", user);
    size_t p = start_position(n);
    while (p < n.count && unit_at(n, p) != 0) {
        uint16_t unit = unit_at(n, p);
        if (unit == '.') p = skip_type(n, p);
        unsigned char c = static_cast<unsigned char>(unit & 0xFF);
        if (c < 0x20 || c == 0x7F) {
            addtolog("%%%c%c", hex[c >> 4], hex[c & 0x0F]);
        } else {
            addtolog("%c", c);
        }
        ++p;
    }
    addtolog("\"\r\n");
}

// The last Debug line of a request, and the flush of its lines.
void log_decision(const char* user, int result) {
    char group[LOG_ESCAPED_SIZE];
    log_escape(chkgroup, group, sizeof group);
    addtolog("%s %s group %s\r\n", user, result == RESULT_MEMBER ? "in" : "NOT in", group);
    writetolog();
}

}  // namespace

int compare_group_name(std::span<const uint8_t> name, const char* group) {
    StoredName n{name, name.size() / 2};
    size_t p = start_position(n);
    size_t g = group[0] == '.' ? 1 : 0;
    while (p < n.count) {
        uint16_t c = static_cast<unsigned char>(group[g]);
        if (c != unit_at(n, p)) return 1;
        if (c == 0) return 0;
        if (c == '.') p = skip_type(n, p);
        ++g;
        ++p;
    }
    return 1;
}

int check_group() {
    int result = RESULT_NOT_MEMBER;
    char user[LOG_ESCAPED_SIZE] = "";
    if (config_debug) log_escape(chkuser, user, sizeof user);

    uint32_t entry_id = 0;
    const char* name = chkuser[0] == '.' ? chkuser + 1 : chkuser;
    conn.failure = NcpFailure{};
    if (ncp_NDS_RESOLVE_NAME(&conn, name, &entry_id) != 0) {
        const NcpFailure why = conn.failure;
        if (config_debug) {
            log_failure_reason("resolve", why);
            addtolog("failed to resolve %s. ", user);
        }
        // An unknown user is an answer, and the connection is fine; any
        // other failure drops it.
        if (!nds_error_is(why, NDS_NO_SUCH_ENTRY)) {
            result = undecided(why);
            clear_connection();
        }
    } else {
        uint32_t syntax = 0;
        size_t used = sizeof group_buffer;
        conn.failure = NcpFailure{};
        if (ncp_NDS_READ(&conn, entry_id, "Group Membership", &syntax, group_buffer, &used) != 0) {
            // A user without the attribute is in no group.
            if (!nds_error_is(conn.failure, NDS_NO_SUCH_ATTRIBUTE)) result = undecided(conn.failure);
            if (config_debug) {
                log_failure_reason("read", conn.failure);
                addtolog("ncp_f_NDS_READ(Group Membership) failed. ");
            }
        } else {
            if (used > sizeof group_buffer) used = sizeof group_buffer;
            rt::Reader values(std::span<const uint8_t>(group_buffer, used));
            uint32_t count = values.le32();
            for (uint32_t i = 0; i < count && values.ok(); ++i) {
                uint32_t length = values.le32();
                std::span<const uint8_t> value = values.bytes(length);
                if (!values.ok()) break;
                if (config_debug) log_name(StoredName{value, value.size() / 2}, user);
                if (compare_group_name(value, chkgroup) == 0) {
                    result = RESULT_MEMBER;
                    break;
                }
            }
        }
    }
    if (config_debug) log_decision(user, result);
    return result;
}

int check_group_unreachable() {
    if (config_debug) {
        char user[LOG_ESCAPED_SIZE];
        log_escape(chkuser, user, sizeof user);
        addtolog("DEBUG: check failed: no directory server reachable\r\n");
        log_decision(user, RESULT_UNREACHABLE);
    }
    return RESULT_UNREACHABLE;
}
