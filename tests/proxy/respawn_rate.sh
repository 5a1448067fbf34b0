#!/bin/bash
# Measures how hard squid's restarts of a helper that cannot start hit the
# directory. squid restarts a helper that ends at once; the helper waits
# before it ends at start, which bounds the rate. Two failing starts are
# measured under squid, each for SECONDS (default 10) while CLIENTS (default
# 1) clients keep asking through the proxy:
#   badpass  the search user's password is wrong: every start connects,
#            logs in and fails (counted at the test server: connections and
#            failed logins)
#   missing  there is no configuration file: no connection at all (counted
#            in the helper's log: "readconfig() failed." lines)
# Prints the counts and rates; asserts nothing (it is a measurement, run by
# hand, not part of the test suite).
#
# Usage: respawn_rate.sh WRENACL WRENACL-TESTSERVER [SECONDS [CLIENTS]]
# Needs what the proxy test needs (root, squid, curl, python3).

set -u

helper_bin=${1:-}
server_bin=${2:-}
seconds=${3:-10}
clients=${4:-1}
here=$(cd "$(dirname "$0")" && pwd)

. "$here/proxy_env.sh"

start_server login logged-in
login_port=$server_port
python3 "$here/origin.py" >"$work/origin.port" 2>"$work/origin.log" &
pids+=($!)
origin_port=$(first_line "$work/origin.port") || { echo "origin did not start"; exit 1; }

install_helper
write_config badpass "$login_port" search.acme Wrong-Pass
# (no missing.conf)

kind=
write_squid_conf() {
    local port=$1
    {
        squid_base_conf "$port"
        echo "external_acl_type nds ttl=0 negative_ttl=0 cache=0 children-max=5 %#LOGIN $work/bin/wrenacl $work/helper/$kind"
        echo "acl authenticated proxy_auth REQUIRED"
        echo "acl member external nds staff.sales.acme"
        echo "http_access deny !authenticated"
        echo "http_access allow member"
        echo "http_access deny all"
    } >"$work/squid.conf"
}

count() {
    local n
    n=$(grep -a -c -- "$1" "$2" 2>/dev/null)
    echo "${n:-0}"
}

now() { date +%s.%N; }

# measure KIND: squid with the helper set-up KIND, the clients asking in a
# loop for the measured time, the counts taken at its start and end.
measure() {
    kind=$1
    start_squid
    local log=$work/helper/$kind.log server_log=$work/login.server.log
    local conn0 conn1 fail0 fail1 stop0 stop1 t0 t1
    conn0=$(count ACCEPTED "$server_log")
    fail0=$(count LOGIN-FAILED "$server_log")
    stop0=$(count 'wrenacl stopped' "$log")
    t0=$(now)
    local client_pids=() c
    for ((c = 0; c < clients; c++)); do
        (
            while :; do
                curl --silent --output /dev/null --max-time 30 --noproxy '' \
                    --proxy "http://127.0.0.1:$squid_port" --proxy-user "alice.sales.acme:x" \
                    "http://127.0.0.1:$origin_port/$c"
            done
        ) &
        client_pids+=($!)
    done
    # The window ends early when squid itself ends (it has been seen to abort
    # under a stream of helper restarts).
    local i died=
    for ((i = 0; i < seconds * 10; i++)); do
        kill -0 "$squid_pid" 2>/dev/null || { died=yes; break; }
        sleep 0.1
    done
    conn1=$(count ACCEPTED "$server_log")
    fail1=$(count LOGIN-FAILED "$server_log")
    stop1=$(count 'wrenacl stopped' "$log")
    t1=$(now)
    for c in "${client_pids[@]}"; do
        kill "$c" 2>/dev/null
        wait "$c" 2>/dev/null
    done
    stop_pid "$squid_pid"
    squid_pid=
    if [ -n "$died" ]; then
        echo "$kind: squid ended after $(python3 -c "print(f'{$t1 - $t0:.1f}')") s:"
        grep -a -E 'assertion failed|FATAL' "$work/squid/cache.log" | tail -n 2
    fi
    : >"$work/squid/cache.log"
    python3 - "$kind" "$t0" "$t1" "$((conn1 - conn0))" "$((fail1 - fail0))" "$((stop1 - stop0))" <<'EOF'
import sys
kind, t0, t1, conns, fails, stops = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), *map(int, sys.argv[4:])
span = t1 - t0
print(f"{kind:8s} {span:5.1f} s: helper starts {stops} ({stops / span:.1f}/s), "
      f"directory connections {conns} ({conns / span:.1f}/s), failed logins {fails} ({fails / span:.1f}/s)")
EOF
}

echo "squid $(squid -v | head -n 1 | sed 's/.*Version //'), $clients client(s), helper $helper_bin"
measure badpass
measure missing
