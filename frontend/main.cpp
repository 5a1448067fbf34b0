// The life of the process: program name, configuration, connection, the
// requests, stop. The exit status is 0 on every path.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

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

// The stop line, and the secrets held for reconnects cleared: the password,
// and the connection record wiped back to its start state.
void stop() {
    addtolog("wrenacl stopped.\r\n");
    writetolog();
    rt::wipe(config_password, sizeof config_password);
    cache_clear();
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

int main(int argc, char** argv) {
    // A proxy that goes away must not kill the helper before its stop line.
    std::signal(SIGPIPE, SIG_IGN);
    NCPCONN_init(&conn);
    set_program_name(argc, argv);

    if (readconfig() != 0) {
        addtolog("readconfig() failed.\r\n");
        return start_failed();
    }
    cache_setup(config_cacheseconds);
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
