# Shared by the proxy tests: checks that squid can be used here, a private
# temporary folder, the test servers, the helper installed where the proxy's
# user can reach it, and squid started and stopped. Source it with
# helper_bin, server_bin and here set (and installed_name, see
# install_helper); a test then defines write_squid_conf PORT (calling
# squid_base_conf PORT first) and calls start_squid.

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; failed=1; }

[ -x "$helper_bin" ] || { echo "usage: $0 WRENACL WRENACL-TESTSERVER"; exit 2; }
[ -x "$server_bin" ] || { echo "usage: $0 WRENACL WRENACL-TESTSERVER"; exit 2; }
[ "$(id -u)" -eq 0 ] || skip "needs root (squid drops to the 'proxy' user)"
command -v squid >/dev/null || skip "squid is not installed"
command -v curl >/dev/null || skip "curl is not installed"
command -v python3 >/dev/null || skip "python3 is not installed"
fake_auth=/usr/lib/squid/basic_fake_auth
[ -x "$fake_auth" ] || skip "$fake_auth is missing"
getent passwd proxy >/dev/null || skip "no 'proxy' user"

failed=0
# No '.' in the folder: the helper takes everything after the last '.' of its
# name argument as an extension, folders included.
work=$(mktemp -d /tmp/wrenacl-proxy-XXXXXX) || exit 1
chmod 0755 "$work"
pids=()
squid_pid=

# Stops a process we started: TERM, a bounded wait, then KILL.
stop_pid() {
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    [ -n "$squid_pid" ] && stop_pid "$squid_pid"
    local pid
    for pid in "${pids[@]}"; do stop_pid "$pid"; done
    if [ "$failed" -ne 0 ] || [ "${KEEP_WORKDIR:-0}" = 1 ]; then
        echo "--- kept $work"
        local f name
        for f in "$work"/squid/cache.log "$work"/helper/*.log; do
            [ -f "$f" ] && { echo "--- $f"; tail -n 40 "$f"; }
        done
        if [ -n "${installed_name:-}" ]; then
            for name in "${!prefix[@]}"; do
                echo "--- ${prefix[$name]}.log"
                helper_log "$name" | tail -n 40
            done
        fi
    fi
    restore_installed
    [ "$failed" -ne 0 ] || [ "${KEEP_WORKDIR:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Waits (bounded) until FILE has a first line, and prints it.
first_line() {
    local file=$1 i
    for ((i = 0; i < 200; i++)); do
        if [ -s "$file" ]; then
            head -n 1 "$file"
            return 0
        fi
        sleep 0.05
    done
    return 1
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- the directories -----------------------------------------------------------
# Names in ISO 8859-1, the way the helper sends them by default (one byte per
# character), then names beyond ISO 8859-1 in UTF-8; carol stands in another
# container than alice.
write_directory() {
    local file=$1 read_rule=$2
    {
        echo "charset iso-8859-1"
        echo "tree WREN_TREE"
        echo "server CN=WREN1.O=acme"
        echo "group-read $read_rule"
        echo "user CN=search.O=acme"
        echo "password Search-Pass1"
        echo "user CN=alice.OU=sales.O=acme"
        echo "password secret"
        echo "member CN=staff.OU=sales.O=acme"
        echo "member CN=all.O=acme"
        echo "user CN=bob.OU=sales.O=acme"
        echo "member CN=all.O=acme"
        echo "user CN=Ann Smith.OU=sales.O=acme"
        echo "member CN=sales team.OU=sales.O=acme"
        printf 'user CN=j\xfcrgen.OU=ops.O=acme\n'
        printf 'member CN=\xdcberwachung.OU=ops.O=acme\n'
        echo "user CN=carol.OU=ops.O=acme"
        echo "member CN=oncall.OU=ops.O=acme"
        # Provisioned over LDAP: only the group lists dave.
        echo "user CN=dave.OU=sales.O=acme"
        echo "member-on-group CN=staff.OU=sales.O=acme"
        echo "charset utf-8"
        echo "user CN=Дмитрий.OU=ops.O=acme"
        echo "member CN=Дежурные.OU=ops.O=acme"
    } >"$file"
}

# start_server NAME RULE [PORT]: a test server for directory NAME on a free
# port (or PORT); sets server_port and server_pid.
start_server() {
    local name=$1 rule=$2 port=${3:-0}
    write_directory "$work/$name.dir" "$rule"
    "$server_bin" --directory "$work/$name.dir" --port "$port" --verbose \
        --log "$work/$name.server.log" >"$work/$name.port" 2>"$work/$name.err" &
    server_pid=$!
    pids+=($server_pid)
    server_port=$(first_line "$work/$name.port") ||
        { cat "$work/$name.err"; echo "FAIL: test server $name did not start"; exit 1; }
}

# The helper where squid starts it, and the folder of its configurations.
#
# By default the build tree need not be traversable by 'proxy': the binary is
# copied to $work/bin, and the configurations go to $work/helper, readable by
# the proxy's group only (they would hold a password) and writable for the
# logs.
#
# With installed_name set (the name argument of an installed layout, e.g.
# /etc/wrenacl/wrenacl.conf) the helper is used where it is installed. The
# first configuration written takes that name (its file is kept aside and
# put back at the end); further ones get names of their own in the same
# folder ("wrenacl-test-NAME", removed at the end), each with its log linked
# into the folder that the installed name's log links to, if it is a link.
# Logs are read from where they stood at the start (helper_log), so lines
# an installed log already holds do not count.
declare -A prefix=() name_arg=() log_start=()
created=()
installed_base=
install_helper() {
    mkdir -p "$work/squid"
    chown proxy:proxy "$work/squid"
    if [ -z "${installed_name:-}" ]; then
        mkdir -p "$work/bin" "$work/helper"
        cp "$helper_bin" "$work/bin/wrenacl"
        chmod 0755 "$work/bin" "$work/bin/wrenacl"
        chown proxy:proxy "$work/helper"
        chmod 0750 "$work/helper"
        helper=$work/bin/wrenacl
        helper_dir=$work/helper
        log_dir=$helper_dir
        return
    fi
    helper=$helper_bin
    # The helper's own rule: the name cut at its last '.'.
    local base=${installed_name%.*}
    helper_dir=$(dirname "$base")
    [ -f "$base.conf" ] || { echo "FAIL: no configuration $base.conf"; exit 1; }
    log_dir=$helper_dir
    [ -L "$base.log" ] && log_dir=$(dirname "$(readlink "$base.log")")
    cp -p "$base.conf" "$work/installed.conf" || exit 1
    installed_base=$base
}

# Puts the installed configuration back and removes what the test added.
restore_installed() {
    [ -n "$installed_base" ] && cp -p "$work/installed.conf" "$installed_base.conf"
    [ ${#created[@]} -gt 0 ] && rm -f "${created[@]}"
}

# write_config NAME PORT [SEARCHUSER SEARCHPASS [EXTRA]]: the helper's
# configuration for set-up NAME and the test server on PORT, decoding names,
# logging decisions, with the lines EXTRA last; prefix[NAME] is its name
# without extension, name_arg[NAME] the name to give the helper.
write_config() {
    local name=$1 port=$2 user=${3:-} pass=${4:-} extra=${5:-} p
    if [ -z "${installed_name:-}" ]; then
        p=$helper_dir/$name
        name_arg[$name]=$p
    elif [ -n "$installed_base" ] && [ ${#prefix[@]} -eq 0 ]; then
        p=$installed_base
        name_arg[$name]=$installed_name
    else
        p=$helper_dir/wrenacl-test-$name
        name_arg[$name]=$p
        [ -e "$p.conf" ] || [ -L "$p.log" ] && { echo "FAIL: $p.conf or $p.log exists"; exit 1; }
        created+=("$p.conf" "$log_dir/wrenacl-test-$name.log")
        if [ "$log_dir" != "$helper_dir" ]; then
            created+=("$p.log")
            ln -s "$log_dir/wrenacl-test-$name.log" "$p.log" || exit 1
        fi
    fi
    prefix[$name]=$p
    log_start[$name]=$(stat -L -c %s "$p.log" 2>/dev/null || echo 0)
    {
        echo "Server 127.0.0.1"
        echo "Port $port"
        if [ -n "$user" ]; then
            echo "SearchUser $user"
            echo "SearchPass $pass"
        fi
        echo "ConvertPercent Yes"
        echo "Debug Yes"
        echo "Timeout 10"
        [ -n "$extra" ] && printf '%s\n' "$extra"
    } >"$p.conf"
    chown root:proxy "$p.conf"
    chmod 0640 "$p.conf"
}

# helper_log NAME: what set-up NAME's helpers logged during this test.
helper_log() {
    local log=${prefix[$1]}.log
    [ -f "$log" ] && tail -c +$((log_start[$1] + 1)) "$log"
}

# The lines every test configuration starts with: loopback port, private
# pid file and logs, no cache, the proxy's own user, basic authentication
# through squid's fake helper (any password passes).
squid_base_conf() {
    local port=$1
    echo "http_port 127.0.0.1:$port"
    echo "pid_filename $work/squid/squid.pid"
    echo "cache_log $work/squid/cache.log"
    echo "access_log $work/squid/access.log"
    echo "cache_store_log none"
    echo "coredump_dir $work/squid"
    echo "cache_effective_user proxy"
    echo "visible_hostname wrenacl-test"
    echo "cache deny all"
    echo "cache_mem 8 MB"
    echo "pinger_enable off"
    echo "shutdown_lifetime 1 seconds"
    echo "auth_param basic program $fake_auth"
    echo "auth_param basic children 2"
    echo "auth_param basic realm wrenacl-test"
}

# Starts squid in the foreground (-N) on a free port; a port taken between
# choosing it and binding it is tried again with another.
start_squid() {
    local attempt i
    for ((attempt = 0; attempt < 3; attempt++)); do
        squid_port=$(free_port)
        write_squid_conf "$squid_port"
        squid -k parse -f "$work/squid.conf" >"$work/squid.parse" 2>&1 ||
            { cat "$work/squid.parse"; echo "FAIL: squid rejects the configuration"; exit 1; }
        squid -N -f "$work/squid.conf" >"$work/squid.out" 2>&1 &
        squid_pid=$!
        for ((i = 0; i < 300; i++)); do
            if ! kill -0 "$squid_pid" 2>/dev/null; then
                break
            fi
            if (exec 3<>"/dev/tcp/127.0.0.1/$squid_port") 2>/dev/null; then
                return 0
            fi
            sleep 0.1
        done
        stop_pid "$squid_pid"
        squid_pid=
    done
    cat "$work/squid.out"
    echo "FAIL: squid did not start"
    exit 1
}
