#!/bin/bash
# The helper under the real proxy: squid on a loopback port with a private
# configuration, basic proxy authentication through squid's fake basic-auth
# helper (any password is accepted), and external ACLs that start wrenacl
# against wrenacl-testserver. curl asks through the proxy as several users;
# members must get 200 from the origin, everyone else 403.
#
# Three helper set-ups run side by side, chosen by the first part of the URL
# path:
#   /s/...  wrenacl with a search user against a directory that lets only
#           logged-in connections read group memberships
#   /a/...  wrenacl without a search user against a directory anyone may read
#   /l/...  wrenacl without a search user against the login-only directory:
#           nobody may pass
#   /b/...  wrenacl with a search user and FailureReply BH, and
#   /e/...  the same with FailureReply ERR, both against a third directory
#           that is killed and started again; squid caches their answers
#           (ttl and negative_ttl of an hour): an ERR given while the
#           directory was gone is cached, a BH is not
#   /c/...  wrenacl with a search user, "Concurrency Yes" and "Charset
#           auto", run by squid with concurrency=4 (channel IDs): 16
#           clients at once, users in UTF-8 and in ISO 8859-1
#   /d/...  wrenacl with a search user, StripRealm, StripDomain, IgnoreCase,
#           the contexts sales.acme,ops.acme and "Charset UTF-8":
#           Kerberos-like (alice@ACME.EXAMPLE) and NTLM-like (ACME\alice)
#           user names
#   /f/...  wrenacl as for a directory far away and filled over LDAP:
#           "Membership either", "PingAfter failure", "CacheSeconds 60",
#           one helper, so that a user asked again is answered from what
#           it kept
# The second part names the group (or groups: one ACL line with two) the
# request needs.
#
# Usage: squid_test.sh WRENACL WRENACL-TESTSERVER [NAME]
# With NAME the test runs against an installed layout: WRENACL is the
# installed helper, used in place, and NAME the name argument it is
# installed for (the Debian package: /usr/lib/squid/wrenacl with
# /etc/wrenacl/wrenacl.conf). The search-user set-up takes NAME's
# configuration for the time of the test, the others get configurations of
# their own beside it, with their logs linked the way NAME's log is (see
# install_helper in proxy_env.sh); everything is put back at the end.
# Exit status 0 = pass, 1 = fail, 77 = skipped (no squid, curl or python3,
# not root, no 'proxy' user). KEEP_WORKDIR=1 keeps the temporary folder.

set -u

helper_bin=${1:-}
server_bin=${2:-}
installed_name=${3:-}
here=$(cd "$(dirname "$0")" && pwd)

. "$here/proxy_env.sh"

start_server login logged-in
login_port=$server_port
start_server open anyone
open_port=$server_port
start_server flaky logged-in
flaky_port=$server_port
flaky_pid=$server_pid

# --- the origin ----------------------------------------------------------------
python3 "$here/origin.py" >"$work/origin.port" 2>"$work/origin.log" &
pids+=($!)
origin_port=$(first_line "$work/origin.port") || { cat "$work/origin.log"; echo "FAIL: origin did not start"; exit 1; }

# --- the helper, where the proxy's user can reach it ---------------------------
install_helper

write_config search "$login_port" search.acme Search-Pass1
write_config anon "$open_port"
write_config locked "$login_port"
write_config bh "$flaky_port" search.acme Search-Pass1 $'Timeout 2\nFailureReply BH'
write_config err "$flaky_port" search.acme Search-Pass1 $'Timeout 2\nFailureReply ERR'
write_config conc "$login_port" search.acme Search-Pass1 $'Concurrency Yes\nCharset auto'
write_config sso "$login_port" search.acme Search-Pass1 \
    $'StripRealm Yes\nStripDomain Yes\nIgnoreCase Yes\nContext sales.acme,ops.acme\nCharset UTF-8'
write_config far "$login_port" search.acme Search-Pass1 $'Membership either\nPingAfter failure\nCacheSeconds 60'

# --- squid -----------------------------------------------------------------------
# Group keys in the URL path and the groups each one asks the helper about.
# Some group names hold a blank, an ISO 8859-1 character or Cyrillic (in
# UTF-8), which squid accepts only in quotes; it sends the ACL arguments
# percent-encoded, separated by blanks, and the helper decodes them and
# splits them apart (ConvertPercent).
declare -A group_of=(
    [staff]='staff.sales.acme'
    [all]='all.acme'
    [team]='"sales team.sales.acme"'
    [ueber]=$'"\xdcberwachung.ops.acme"'
    [duty]='"Дежурные.ops.acme"'
    [multi]='"sales team.sales.acme" oncall.ops.acme'
    [upper]='STAFF.Sales.ACME'
)
kinds=(s:search a:anon l:locked b:bh e:err c:conc d:sso f:far)

write_squid_conf() {
    local port=$1 kind group
    {
        squid_base_conf "$port"
        # ttl=0 negative_ttl=0 alone still merges identical lookups that are
        # in flight; cache=0 makes every request reach the helper.
        # The name argument without and with an extension: both name the
        # same two files.
        # squid skips a lookup (the ACL answers neither yes nor no, the
        # client gets 407) when more wait for a helper than queue-size,
        # 2 × children-max by default; the requests sent at once below
        # must all reach a helper, however slowly the helpers start.
        echo "external_acl_type nds_search ttl=0 negative_ttl=0 cache=0 children-max=3 queue-size=16 %#LOGIN $helper ${name_arg[search]}"
        echo "external_acl_type nds_anon ttl=0 negative_ttl=0 cache=0 children-max=3 %#LOGIN $helper ${prefix[anon]}.conf"
        echo "external_acl_type nds_locked ttl=0 negative_ttl=0 cache=0 children-max=3 %#LOGIN $helper ${prefix[locked]}"
        # One helper each, answers cached for an hour.
        echo "external_acl_type nds_bh ttl=3600 negative_ttl=3600 children-max=1 %#LOGIN $helper ${name_arg[bh]}"
        echo "external_acl_type nds_err ttl=3600 negative_ttl=3600 children-max=1 %#LOGIN $helper ${name_arg[err]}"
        # Two helpers with four requests each in flight, channel IDs first.
        echo "external_acl_type nds_conc ttl=0 negative_ttl=0 cache=0 children-max=2 concurrency=4 queue-size=32 %#LOGIN $helper ${name_arg[conc]}"
        echo "external_acl_type nds_sso ttl=0 negative_ttl=0 cache=0 children-max=2 %#LOGIN $helper ${name_arg[sso]}"
        echo "external_acl_type nds_far ttl=0 negative_ttl=0 cache=0 children-max=1 %#LOGIN $helper ${name_arg[far]}"
        echo "acl authenticated proxy_auth REQUIRED"
        echo "acl to_origin dstdomain 127.0.0.1"
        echo "http_access deny !to_origin"
        echo "http_access deny !authenticated"
        for kind in "${kinds[@]}"; do
            for group in "${!group_of[@]}"; do
                echo "acl path_${kind%%:*}_$group urlpath_regex ^/${kind%%:*}/$group\$"
            done
        done
        # A quoted ACL argument keeps its blank; %#LOGIN and the regular
        # expressions must stay unquoted, so quoting is on only here.
        echo "configuration_includes_quoted_values on"
        for kind in "${kinds[@]}"; do
            for group in "${!group_of[@]}"; do
                echo "acl member_${kind%%:*}_$group external nds_${kind#*:} ${group_of[$group]}"
            done
        done
        echo "configuration_includes_quoted_values off"
        for kind in "${kinds[@]}"; do
            for group in "${!group_of[@]}"; do
                echo "http_access allow path_${kind%%:*}_$group member_${kind%%:*}_$group"
            done
        done
        echo "http_access deny all"
    } >"$work/squid.conf"
}

start_squid

# --- the requests ----------------------------------------------------------------
# status USER PATH: the HTTP status through the proxy (000 when none).
status() {
    curl --silent --output /dev/null --write-out '%{http_code}' \
        --max-time 60 --noproxy '' --proxy "http://127.0.0.1:$squid_port" \
        --proxy-user "$1:any-password" "http://127.0.0.1:$origin_port$2"
}

declare -A asked=([s]=0 [a]=0 [l]=0 [b]=0 [e]=0 [c]=0 [d]=0 [f]=0)
expect() {
    local want=$1 user=$2 path=$3 got
    got=$(status "$user" "$path")
    asked[${path:1:1}]=$((asked[${path:1:1}] + 1))
    if [ "$got" != "$want" ]; then
        fail "$(printf '%q' "$user") $path: got $got, want $want"
    fi
}

# expect_at_once LABEL USERS PATHS WANTS: one request per USERS[i] for
# PATHS[i], all at once (the arrays named, not passed), each wanting WANTS[i].
expect_at_once() {
    local label=$1 i got
    local -n users=$2 paths=$3 wants=$4
    local pids=()
    for i in "${!users[@]}"; do
        status "${users[$i]}" "${paths[$i]}" >"$work/$label.$i" &
        pids+=($!)
    done
    for i in "${!pids[@]}"; do wait "${pids[$i]}"; done
    for i in "${!users[@]}"; do
        got=$(cat "$work/$label.$i")
        asked[${paths[$i]:1:1}]=$((asked[${paths[$i]:1:1}] + 1))
        [ "$got" = "${wants[$i]}" ] ||
            fail "$label $(printf '%q' "${users[$i]}") ${paths[$i]}: got $got, want ${wants[$i]}"
    done
}

alice=alice.sales.acme
bob=bob.sales.acme
ann='Ann Smith.sales.acme'
carol=carol.ops.acme
jurgen=$'j\xfcrgen.ops.acme'
jurgen_utf8='jürgen.ops.acme'
dmitry='Дмитрий.ops.acme'

# Answers alternate between allowed and denied, so that a reply the helper
# wrote too many (or too few) would show up as the answer to a later request.
for mode in s a; do
    expect 200 "$alice" /$mode/staff
    expect 403 "$bob" /$mode/staff
    expect 200 "$bob" /$mode/all
    expect 403 "$alice" /$mode/team
    expect 200 "$ann" /$mode/team
    expect 403 "$ann" /$mode/ueber
    expect 200 "$jurgen" /$mode/ueber
    expect 403 "$jurgen" /$mode/staff
    # A user the directory does not know: not a member, and the helper
    # keeps its connection (and its login).
    expect 403 nobody.sales.acme /$mode/all
    expect 200 "$alice" /$mode/all
    # The user name must be the whole dotted name.
    expect 403 alice /$mode/staff
    # One ACL line with two groups: a member of either passes.
    expect 200 "$ann" /$mode/multi
    expect 403 "$alice" /$mode/multi
    expect 200 "$carol" /$mode/multi
    # Letter case counts in group names unless IgnoreCase is on.
    expect 403 "$alice" /$mode/upper
done

# Without a login the login-only directory refuses to tell memberships.
expect 403 "$alice" /l/staff
expect 403 "$jurgen" /l/ueber

# Several requests at once, so that several helpers of one type run side by
# side and share one log file.
par_users=("$alice" "$bob" "$ann" "$jurgen" "$alice" "$bob" "$ann" "$jurgen")
par_paths=(/s/staff /s/staff /s/team /s/ueber /s/all /s/team /s/staff /s/ueber)
par_want=(200 403 200 200 200 403 403 200)
expect_at_once parallel par_users par_paths par_want

# --- concurrency: channel IDs, 16 clients at once; names in UTF-8 ----------------
# curl sends the user name's bytes as they are: UTF-8 here (every current
# browser does so), ISO 8859-1 for $jurgen; "Charset auto" reads each.
expect 200 "$jurgen_utf8" /c/ueber
expect 200 "$dmitry" /c/duty
expect 403 "$dmitry" /c/staff
conc_users=("$alice" "$bob" "$ann" "$jurgen" "$jurgen_utf8" "$dmitry" "$carol" nobody.sales.acme
            "$alice" "$bob" "$ann" "$jurgen" "$jurgen_utf8" "$dmitry" "$carol" "$alice")
conc_paths=(/c/staff /c/staff /c/multi /c/ueber /c/ueber /c/duty /c/multi /c/all
            /c/team /c/all /c/staff /c/duty /c/staff /c/ueber /c/staff /c/multi)
conc_want=(200 403 200 200 200 200 200 403 403 200 403 403 403 403 403 403)
expect_at_once concurrent conc_users conc_paths conc_want

# --- single sign-on names: realm and domain stripped, contexts searched ----------
# squid sends the domain's backslash as %5C; carol is found in the second
# context, over the same login.
expect 200 'ACME\alice' /d/staff
expect 200 'alice@ACME.EXAMPLE' /d/staff
expect 200 'ACME\carol' /d/multi
expect 403 'carol@ACME.EXAMPLE' /d/staff
expect 403 'ACME\bob' /d/staff
expect 403 'nobody@ACME.EXAMPLE' /d/all
expect 200 'alice@ACME.EXAMPLE' /d/upper
expect 200 "$alice" /d/staff
# In UTF-8, and a name that is not: refused without a word to the directory.
expect 200 'ACME\Дмитрий' /d/duty
expect 403 $'ACME\\j\xfcrgen' /d/ueber

# --- a directory far away, filled over LDAP ------------------------------------------
# dave is listed only by the group; what a helper read is kept for a minute,
# so a user asked again costs no exchange, and no ping follows an answer.
expect 200 dave.sales.acme /f/staff
expect 403 dave.sales.acme /f/all
expect 200 "$alice" /f/staff
expect 200 "$alice" /f/all
expect 403 "$alice" /f/team
expect 403 nobody.sales.acme /f/all
expect 403 nobody.sales.acme /f/staff
expect 403 dave.sales.acme /s/staff

# --- FailureReply: the directory gone and back -------------------------------------
# Both helpers answer (and log in) before the directory goes; bob's lookups
# are first asked while it is gone.
expect 200 "$alice" /b/staff
expect 200 "$alice" /e/staff
kill -KILL "$flaky_pid"
wait "$flaky_pid" 2>/dev/null
# squid denies a lookup that got BH as one that needs (new) credentials:
# 407, not 403.
expect 407 "$bob" /b/all
expect 403 "$bob" /e/all
# squid asks a helper that answered BH once more before it gives up; an ERR
# it takes at once.
bh_asked=$(helper_log bh | grep -a -c 'bob.sales.acme NOT in group all.acme')
err_asked=$(helper_log err | grep -a -c 'bob.sales.acme NOT in group all.acme')
echo "bob's lookup while the directory was gone: asked $bh_asked times with BH, $err_asked with ERR"
[ "$err_asked" -eq 1 ] || fail "squid asked the ERR helper $err_asked times for one lookup"
[ "$bh_asked" -ge 2 ] || fail "squid asked the BH helper $bh_asked times for one lookup"
grep -a -q 'result=BH, notes={message: directory' "$work/squid/cache.log" ||
    fail "squid did not log the helper's BH reason"
helper_log bh | grep -a -q 'no directory server reachable, next try in' ||
    fail "the BH helper did not log that no server was reachable"
rm -f "$work/flaky.port"
start_server flaky logged-in "$flaky_port"
[ "$server_port" = "$flaky_port" ] || fail "the directory did not come back on port $flaky_port: $server_port"
# BH was not cached: bob is admitted as soon as the helper reaches the
# directory again (after its back-off of a second or two).
for ((i = 0; i < 40; i++)); do
    got=$(status "$bob" /b/all)
    [ "$got" = 200 ] && break
    sleep 0.25
done
[ "$got" = 200 ] || fail "bob still not admitted through the BH helper with the directory back: $got"
# ERR was cached for the hour: still denied.
expect 403 "$bob" /e/all
grep -a -q 'LOGGED-IN' "$work/flaky.server.log" || fail "the BH helper did not log in again"

# --- what the helpers and the directory saw --------------------------------------
# With Debug on every decision is one line "USER in group G" or "USER NOT in
# group G"; cache=0 means every request above reached a helper exactly once.
count_decisions() {
    helper_log "$1" | grep -a -E ' (NOT )?in group ' | grep -a -c -v 'DEBUG: Object'
}
for pair in s:search a:anon l:locked c:conc d:sso f:far; do
    got=$(count_decisions "${pair#*:}")
    want=${asked[${pair%%:*}]}
    [ "$got" = "$want" ] || fail "${pair#*:}: $got decisions logged for $want requests"
done

helper_log search | grep -a -q 'wrenacl started. server=127.0.0.1:'"$login_port"', SearchUser:search.acme, ConvertPercent:Yes.' ||
    fail "search helper did not log its start"
for kind in search anon locked bh err conc sso far; do
    helper_log $kind | grep -a -q 'Search-Pass1' && fail "a helper logged the password"
done
# squid lowers the case of basic-auth user names (auth_param basic
# casesensitive off); the directory resolves names regardless of case.
helper_log search | grep -a -q "ann smith.sales.acme in group sales team.sales.acme" ||
    fail "the blank in user and group was not decoded"
helper_log search | grep -a -q 'failed to resolve nobody.sales.acme' ||
    fail "the unknown user left no trace in the log"
helper_log search | grep -a -q 'DEBUG: resolve failed: NDS error -601 from verb 1' ||
    fail "the unknown user's resolve left no reason in the log"
for name in login open flaky; do
    if grep -a -q DEVIATION "$work/$name.server.log"; then
        grep -a DEVIATION "$work/$name.server.log" | head -n 5
        fail "the $name directory saw protocol deviations"
    fi
done
grep -a -q 'NO-ACCESS' "$work/login.server.log" ||
    fail "the login-only directory never refused an anonymous read"
grep -a -q 'LOGGED-IN' "$work/login.server.log" || fail "the search user never logged in"
helper_log conc | grep -a -q 'Дмитрий.ops.acme in group Дежурные.ops.acme' ||
    fail "the UTF-8 user's decision is not in the log in UTF-8"
helper_log conc | grep -a -q 'jürgen.ops.acme in group Überwachung.ops.acme' ||
    fail "the ISO 8859-1 user under auto is not in the log in UTF-8"
helper_log sso | grep -a -q 'failed to resolve carol.sales.acme. ' ||
    fail "carol was not first asked for in the first context"
helper_log sso | grep -a -q 'carol in group oncall.ops.acme' || fail "carol was not found in the second context"
helper_log sso | grep -a -q 'DEBUG: check failed: user name not UTF-8' ||
    fail "the name in ISO 8859-1 was not refused under Charset UTF-8"
helper_log search | grep -a -q 'carol.ops.acme in group oncall.ops.acme' ||
    fail "the decision does not name the group of several that matched"
helper_log far | grep -a -q 'wrenacl started. .*Membership:either, PingAfter:failure, CacheSeconds:60' ||
    fail "the far helper did not log its settings"
[ "$(helper_log far | grep -a -c ' (from the cache)')" -ge 2 ] ||
    fail "the far helper answered fewer than two lookups from what it kept"
# Neither the unknown users nor the contexts tried cost a new login.
helper_log sso | grep -a -q 'nds ping failed' && fail "the single sign-on helper lost its connection"

# squid drops a reply line that comes while no request is pending and says
# so; one that comes while another request waits becomes that request's
# answer. Either way the helper wrote a line too many. A helper that ends
# while squid runs is reported as well.
# With concurrency, a reply whose channel ID squid does not know is
# "unexpected reply on channel N".
if grep -a -E 'unexpected (read|reply)|external_acl_type #Hlpr[0-9]+ exited' "$work/squid/cache.log"; then
    fail "squid saw stray helper replies or helpers that ended"
fi

# At the end of its input (squid stopping) every helper logs its stop.
stop_pid "$squid_pid"
squid_pid=
for kind in search anon locked bh err conc sso far; do
    for ((i = 0; i < 100; i++)); do
        started=$(helper_log $kind | grep -a -c 'wrenacl started')
        stopped=$(helper_log $kind | grep -a -c 'wrenacl stopped')
        [ "$started" -gt 0 ] && [ "$started" = "$stopped" ] && break
        sleep 0.1
    done
    [ "$started" -gt 0 ] && [ "$started" = "$stopped" ] ||
        fail "$kind: $started helpers started, $stopped stopped"
done

[ "$failed" -eq 0 ] && echo "PASS"
exit "$failed"
