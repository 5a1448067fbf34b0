// The settings line of the start (or of a start that failed).
#include <cstdint>

#include "frontend/config.h"
#include "frontend/log.h"
#include "frontend/logtext.h"

namespace {

const char* charset_name(Charset cs) {
    switch (cs) {
        case CHARSET_UTF8: return "UTF-8";
        case CHARSET_AUTO: return "auto";
        case CHARSET_ISO8859_1: break;
    }
    return "ISO-8859-1";
}

}  // namespace

void log_settings(const char* head) {
    char server[3 * CONFIG_SERVER_SIZE + 1];
    log_escape(config_server, server, sizeof server);
    const ServerList& list = config_servers;
    // One entry without a port is shown with the port it is asked on; a list,
    // or an entry with its own port, as written.
    if (list.count == 1 && !list.entries[0].has_port) {
        addtolog("%s server=%s:%lu", head, server, static_cast<unsigned long>(static_cast<uint32_t>(config_port)));
    } else {
        addtolog("%s server=%s", head, server);
    }
    char text[LOG_ESCAPED_SIZE];
    log_request_name(config_charset, config_user, text, sizeof text);
    addtolog(", SearchUser:%s, ConvertPercent:%s", text, config_convertpercent ? "Yes" : "No");
    if (config_concurrency) addtolog(", Concurrency:Yes");
    if (config_charset != CHARSET_ISO8859_1) addtolog(", Charset:%s", charset_name(config_charset));
    if (config_striprealm) addtolog(", StripRealm:Yes");
    if (config_stripdomain) addtolog(", StripDomain:Yes");
    if (config_ignorecase) addtolog(", IgnoreCase:Yes");
    if (config_membership == MEMBERSHIP_GROUP) addtolog(", Membership:group");
    if (config_membership == MEMBERSHIP_EITHER) addtolog(", Membership:either");
    if (config_pingafter == PING_AFTER_FAILURE) addtolog(", PingAfter:failure");
    if (config_cacheseconds != 0) addtolog(", CacheSeconds:%d", static_cast<int>(config_cacheseconds));
    if (config_context[0] != '\0') {
        log_request_name(config_charset, config_context, text, sizeof text);
        addtolog(", Context:%s", text);
    }
    addtolog(".\r\n");
}
