// The life of the process: program name, configuration, connection, the
// requests, stop. The exit status is 0 on every path. Standard output
// carries nothing but replies; what a proxy's admin must see when the helper
// cannot start also goes to standard error, where squid copies it into
// cache.log.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "frontend/cache.h"
#include "frontend/config.h"
#include "frontend/connection.h"
#include "frontend/log.h"
#include "frontend/progname.h"
#include "frontend/requestloop.h"
#include "runtime/wipe.h"

namespace {

// A helper that cannot start waits this long before it ends, so that a proxy
// restarting failed helpers at once does not hammer the directory.
constexpr time_t START_FAILURE_DELAY_SECONDS = 3;
constexpr char kPrefix[] = "wrenacl: ";

void pause_before_exit() {
    timespec left{START_FAILURE_DELAY_SECONDS, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// One line on standard error, the program's prefix first.
void say(std::string_view line) {
    std::fprintf(stderr, "%s%.*s\n", kPrefix, static_cast<int>(line.size()), line.data());
}

// What the start logged, line by line, on standard error.
void say_kept() {
    std::string_view text = log_kept();
    while (!text.empty()) {
        const size_t end = text.find("\r\n");
        say(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 2);
    }
    std::fflush(stderr);
}

// The stop line, and the secrets held for reconnects cleared: the password,
// what was kept, and the connection record wiped back to its start state.
void stop() {
    addtolog("wrenacl stopped.\r\n");
    writetolog();
    rt::wipe(config_password, sizeof config_password);
    cache_clear();
    NCPCONN_init(&conn);
}

// A start that failed: the pending log line out, the same lines on standard
// error, the stop, and the delay.
int start_failed() {
    writetolog();
    say_kept();
    stop();
    pause_before_exit();
    return 0;
}

// An argument that begins with '-' is an option, never a program name: no
// file is read or made for it.
int option(const char* invoked, const char* arg) {
    const std::string_view a = arg;
    if (a == "--version") {
        std::printf("wrenacl %s\n", WRENACL_VERSION);
        return 0;
    }
    if (a == "--help") {
        char conf[sizeof myname_buffer + sizeof ".conf"] = "";
        char log[sizeof myname_buffer + sizeof ".log"] = "";
        derive_file_name(invoked, sizeof myname_buffer - 1, ".conf", conf, sizeof conf);
        derive_file_name(invoked, 255, ".log", log, sizeof log);
        std::fprintf(stderr,
                     "usage: wrenacl [NAME]\n"
                     "Answers \"user group\" lines on standard input with OK or ERR, asking a NetWare\n"
                     "directory (NDS): an external ACL helper for a web proxy.\n"
                     "NAME, with its extension replaced, names the configuration (NAME.conf) and\n"
                     "the log (NAME.log): /etc/squid/ndsgroups reads /etc/squid/ndsgroups.conf.\n"
                     "Without NAME, started as now: %s and %s.\n"
                     "--version prints the version. See wrenacl(8).\n",
                     conf, log);
        return 0;
    }
    std::fprintf(stderr, "%sunknown option %s; usage: wrenacl [NAME], or wrenacl --help\n", kPrefix, arg);
    pause_before_exit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A proxy that goes away must not kill the helper before its stop line.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && argv[1] != nullptr && argv[1][0] == '-') return option(argv[0] != nullptr ? argv[0] : "", argv[1]);
    NCPCONN_init(&conn);
    set_program_name(argc, argv);
    log_keep(true);

    if (readconfig() != 0) {
        addtolog("readconfig() failed.\r\n");
        char name[sizeof myname_buffer + sizeof ".conf"] = "";
        derive_file_name(myname, sizeof myname_buffer - 1, ".conf", name, sizeof name);
        writetolog();
        say_kept();
        std::fprintf(stderr, "%s%s: %s\n", kPrefix, name, std::strerror(config_errno));
        std::fflush(stderr);
        stop();
        pause_before_exit();
        return 0;
    }
    cache_setup(config_cacheseconds);
    if (make_connection() != 0) {
        log_settings("connection to server failed.");
        return start_failed();
    }
    log_keep(false);
    log_settings("wrenacl started.");
    writetolog();

    serve_requests(STDIN_FILENO, STDOUT_FILENO);

    clear_connection();
    stop();
    return 0;
}
