#include "tests/frontend/loop_doubles.h"

#include <cstring>

#include "frontend/connection.h"
#include "frontend/groupcheck.h"
#include "frontend/requestloop.h"

LoopDoubles loop;
NcpConnection conn;

void NCPCONN_init(NcpConnection* c) {
    std::memset(c, 0, sizeof *c);
    c->sock = -1;
}

int NCPCONN_ndsping(NcpConnection*) {
    loop.calls.push_back("ping");
    return loop.ping_ok ? 0 : 1;
}

int make_connection() {
    loop.calls.push_back("make");
    return 0;
}

int clear_connection() {
    loop.calls.push_back("clear");
    return 0;
}

int check_group() {
    loop.calls.push_back("check " + std::string(chkuser) + "|" + std::string(chkgroup));
    return loop.member_group == chkgroup ? 0 : 1;
}
