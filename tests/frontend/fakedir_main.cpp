// The real front end over the in-memory directory, for process-level tests.
// Directory calls are traced on standard error, one per line.
//   users: alice (staff.acme, admins.it.acme), bob (no groups),
//          "john doe" (staff.acme), carol (the read fails),
//          netdown (resolves, then the connection is gone)
//   connects to port 9 fail; a login with the password "wrong" fails.
#include "frontend/requestloop.h"
#include "tests/frontend/fake_directory.h"

int main(int argc, char** argv) {
    fake.trace_stderr = true;
    fake.refused_port = 9;
    fake.wrong_password = "wrong";
    fake.users = {
        {"alice", 1, {stored("CN=staff.O=acme"), stored("CN=admins.OU=it.O=acme")}},
        {"bob", 2, {}},
        {"john doe", 3, {stored("CN=staff.O=acme")}},
        {"carol", 4, {}, true},
        {"netdown", 5, {}, false, true},
    };
    return wrenacl_main(argc, argv);
}
