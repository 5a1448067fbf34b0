#!/bin/bash
# The Debian package end to end: builds it with the README's command (or
# takes one built elsewhere), checks it with lintian (no errors allowed), its
# computed dependencies and its binaries' hardening, installs it with apt,
# then again with dpkg -i (the maintainer scripts must be safe to run again),
# checks the installed layout with its owners and modes, runs the squid test
# (tests/proxy/squid_test.sh) against the installed helper and configuration,
# checks the squid.conf snippet with squid's parser and the log rotation with
# the installed logrotate snippet, then removes the package (the conffile and
# the logs stay) and purges it: every path the package, its scripts or the
# test touched must then be as it was before.
#
# It installs and removes the package 'wrenacl' on this machine, so it is not
# part of ctest; .ci/run runs it. It leaves a machine's own squid alone (the
# squid test runs a private one) and skips where wrenacl or one of its files
# is already there.
#
# Usage: deb_test.sh [BUILD-DIR]      (default: build-deb in the source tree)
#        deb_test.sh FILE.deb          a package built elsewhere, e.g. on
#                                      another Debian release (debian13.sh)
# Exit status 0 = pass, 1 = fail, 77 = skipped (not root, a tool missing,
# wrenacl already on the machine).

set -u

src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$src/build-deb}
deb=
prebuilt=0
case $build in *.deb) deb=$(realpath "$build"); prebuilt=1 ;; esac
helper=/usr/lib/squid/wrenacl
server=/usr/bin/wrenacl-testserver
name=/etc/wrenacl/wrenacl.conf
logdir=/var/log/wrenacl

passed=0
failed=0
skip() { echo "SKIP: $*"; exit 77; }
ok() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# check TEXT COMMAND...: one counted check.
check() {
    local text=$1
    shift
    if "$@"; then ok "$text"; else fail "$text"; fi
}

[ "$(id -u)" -eq 0 ] || skip "needs root (installs and removes the package)"
for tool in cmake apt-get dpkg dpkg-deb dpkg-shlibdeps dpkg-buildflags readelf lintian squid curl python3 logrotate setpriv; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
getent passwd proxy >/dev/null || skip "no 'proxy' user"
state=$(dpkg-query -W -f='${db:Status-Status}' wrenacl 2>/dev/null)
[ -z "$state" ] || [ "$state" = not-installed ] || skip "wrenacl is known to dpkg here ($state)"

work=$(mktemp -d /tmp/wrenacl-deb-XXXXXX) || exit 1
installed=0
finish() {
    if [ "$installed" = 1 ]; then
        echo "--- purging the package after a failure"
        dpkg -P wrenacl >"$work/cleanup.log" 2>&1 || cat "$work/cleanup.log"
    fi
    if [ "$failed" -ne 0 ] || [ "${KEEP_WORKDIR:-0}" = 1 ]; then
        echo "--- kept $work"
    else
        rm -rf "$work"
    fi
}
trap finish EXIT
trap 'exit 1' INT TERM

# --- build ----------------------------------------------------------------------
arch=$(dpkg --print-architecture)
if [ "$prebuilt" = 0 ]; then
    if ! { cmake -S "$src" -B "$build" -DWRENACL_DEB=ON -DWRENACL_TESTS=OFF &&
           cmake --build "$build" -j"${JOBS:-2}" --target package; } >"$work/build.log" 2>&1; then
        tail -n 40 "$work/build.log"
        fail "the package does not build"
        exit 1
    fi
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    deb=$build/wrenacl_${version}_$arch.deb
    [ -f "$deb" ] || { fail "no $deb"; exit 1; }
else
    [ -f "$deb" ] || { fail "no $deb"; exit 1; }
    echo "--- the package built elsewhere: $deb"
    version=$(dpkg-deb -f "$deb" Version)
fi
check "file name is wrenacl_<version>_<arch>.deb" \
    eval '[ "$(basename "$deb")" = "wrenacl_${version}_$arch.deb" ] &&
          [ "$(dpkg-deb -f "$deb" Package Version Architecture | tr "\n" " ")" = \
            "Package: wrenacl Version: $version Architecture: $arch " ]'

# --- lintian ----------------------------------------------------------------------
echo "--- lintian"
lintian --fail-on error --tag-display-limit 0 -EvIL +pedantic "$deb" 2>&1 | tee "$work/lintian.log"
lintian_status=${PIPESTATUS[0]}
check "lintian reports no errors" [ "$lintian_status" -eq 0 ]

# --- dependencies -------------------------------------------------------------------
# The helper alone needs the C library only; the test server adds libcrypto.
mkdir -p "$work/x/debian" && : >"$work/x/debian/control"
dpkg-deb -x "$deb" "$work/x"
helper_deps=$(cd "$work/x" && dpkg-shlibdeps -O ".$helper" 2>/dev/null)
libc_only='^shlibs:Depends=libc6( \([^,]*\))?$'
check "the helper depends on libc6 only ($helper_deps)" eval '[[ $helper_deps =~ $libc_only ]]'
# libcrypto comes with libssl3 on Debian 12, with libssl3t64 (which provides
# libssl3) on Debian 13: a package built here names this release's package,
# one built elsewhere either (apt's install below shows it resolves here).
depends=$(dpkg-deb -f "$deb" Depends)
if [ "$prebuilt" = 0 ]; then
    libcrypto=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libcrypto.so.3
    ssl=$(dpkg-query -S "$libcrypto" 2>/dev/null | sed -n '1s/[:,].*//p')
else
    ssl='libssl3(t64)?'
fi
check "Depends is computed: $depends" \
    eval '[[ $depends =~ (^|, )"libc6 (>=" && $depends =~ (^|, )$ssl" (>=" ]]'

# --- hardening ------------------------------------------------------------------------
# Read-only relocations resolved at start, the stack protector and the
# checked string and memory functions, in both binaries; a package built
# here got every flag the hardening of dpkg-buildflags adds on this release.
hardened() {
    local bin=$1
    readelf -lW "$bin" | grep -q GNU_RELRO &&
        readelf -dW "$bin" | grep -q 'FLAGS.*BIND_NOW' &&
        readelf --dyn-syms -W "$bin" | grep -q ' __stack_chk_fail' &&
        readelf --dyn-syms -W "$bin" | grep -q ' __memcpy_chk\| __snprintf_chk'
}
check "the helper is hardened" hardened "$work/x$helper"
check "the test server is hardened" hardened "$work/x$server"
if [ "$prebuilt" = 0 ]; then
    flags() {
        local kind
        for kind in CPPFLAGS CXXFLAGS; do
            DEB_BUILD_MAINT_OPTIONS=hardening=$1 dpkg-buildflags --get $kind | tr ' ' '\n'
        done
    }
    missing=$(grep -vxF -f <(flags -all) <(flags +all) | while read -r f; do
        grep '"command"' "$build/compile_commands.json" | grep -qv -- " $f " && echo "$f"
    done)
    check "every compile command has dpkg-buildflags' hardening flags${missing:+ (missing: $missing)}" \
        [ -z "$missing" ]
fi

# --- what the package touches, before -------------------------------------------------
# Every path in the package (the log folder too): its type, owner and mode,
# or "absent". Paths that existed before (shared folders such as /usr/bin)
# must look the same after the purge, all others must be gone.
mapfile -t paths < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^$')
snapshot() {
    local p
    for p in "$@"; do
        if [ -e "$p" ] || [ -L "$p" ]; then
            stat -c '%n|%F|%U:%G|%a' "$p"
        else
            echo "$p|absent"
        fi
    done
}
snapshot "${paths[@]}" >"$work/before.txt"
own_dirs=" /etc/wrenacl $logdir /usr/share/doc/wrenacl /usr/share/doc/wrenacl/examples "
for p in "${paths[@]}"; do
    [ -e "$p" ] || [ -L "$p" ] || continue
    [ -d "$p" ] && [ ! -L "$p" ] && [[ $own_dirs != *" $p "* ]] && continue  # a shared folder
    skip "$p is already there"
done

# --- install -------------------------------------------------------------------------
# layout: PATH|TYPE|OWNER:GROUP|MODE, checked after each install.
layout=(
    "$helper|regular file|root:root|755"
    "$server|regular file|root:root|755"
    "/etc/wrenacl|directory|root:root|755"
    "$name|regular file|root:proxy|640"
    "/etc/wrenacl/wrenacl.log|symbolic link|root:root|777"
    "$logdir|directory|proxy:adm|2750"
    "/etc/logrotate.d/wrenacl|regular file|root:root|644"
    "/usr/share/man/man8/wrenacl.8.gz|regular file|root:root|644"
    "/usr/share/man/man1/wrenacl-testserver.1.gz|regular file|root:root|644"
    "/usr/share/doc/wrenacl/examples/squid-wrenacl.conf|regular file|root:root|644"
)
check_layout() {
    local entry got bad=0
    for entry in "${layout[@]}"; do
        got=$(snapshot "${entry%%|*}")
        [ "$got" = "$entry" ] || { echo "  $got, want $entry"; bad=1; }
    done
    [ "$(readlink /etc/wrenacl/wrenacl.log)" = "$logdir/wrenacl.log" ] ||
        { echo "  /etc/wrenacl/wrenacl.log -> $(readlink /etc/wrenacl/wrenacl.log)"; bad=1; }
    return $bad
}

conffiles() { dpkg-query -W -f='${Conffiles}\n' wrenacl | awk 'NF { print $1 }' | sort | tr '\n' ' '; }

installed=1
check "apt-get installs the package" eval 'apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log"; false; }'
check "installed layout, owners and modes" check_layout
check "conffiles: the configuration and the logrotate snippet" \
    [ "$(conffiles)" = "/etc/logrotate.d/wrenacl /etc/wrenacl/wrenacl.conf " ]
dpkg -L wrenacl | sort >"$work/dpkg-L.txt"
check "dpkg -L lists the package's files" \
    eval 'printf "%s\n" "${paths[@]}" | sort | cmp -s - "$work/dpkg-L.txt"'
check "dpkg -i again (maintainer scripts run twice)" dpkg -i "$deb"
check "layout unchanged after the second install" check_layout

# --- the squid test against the installed helper and configuration --------------------
echo "--- squid test: $helper $name"
bash "$src/tests/proxy/squid_test.sh" "$helper" "$server" "$name"
squid_status=$?
check "squid test against the installed layout" [ "$squid_status" -eq 0 ]
check "the helpers' log is $logdir/wrenacl.log, the proxy's, group adm" \
    eval '[ "$(stat -c "%F %U:%G" "$logdir/wrenacl.log")" = "regular file proxy:adm" ] &&
          grep -a -q "wrenacl started" "$logdir/wrenacl.log"'
conf_md5=$(dpkg-query -W -f='${Conffiles}\n' wrenacl | awk -v f="$name" '$1 == f { print $2 }')
check "the configuration is the package's again after the test" \
    [ "$(md5sum <"$name" | cut -d' ' -f1)" = "$conf_md5" ]
check "the test left nothing of its own in /etc/wrenacl and $logdir" \
    eval '[ -z "$(find /etc/wrenacl "$logdir" -name "wrenacl-test-*")" ]'

# --- the squid.conf snippet, as the README says to use it ------------------------------
{
    echo "http_port 127.0.0.1:3128"
    echo "auth_param basic program /usr/lib/squid/basic_fake_auth"
    echo "include /usr/share/doc/wrenacl/examples/squid-wrenacl.conf"
    echo "http_access deny all"
} >"$work/squid.conf"
check "squid accepts the squid.conf snippet" \
    eval 'squid -k parse -f "$work/squid.conf" >"$work/squid-parse.log" 2>&1 || { tail -n 5 "$work/squid-parse.log"; false; }'

# --- log rotation -----------------------------------------------------------------------
# The helper makes a new log when the old one is gone. Started by a user of
# another group it cannot read the configuration (root and the proxy's group
# only) and logs that.
check "logrotate rotates the log" \
    eval 'logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/wrenacl &&
          [ -f "$logdir/wrenacl.log.1" ] && [ ! -e "$logdir/wrenacl.log" ]'
setpriv --reuid=proxy --regid=nogroup --clear-groups "$helper" "$name" </dev/null >"$work/helper.out"
check "a new log after rotation; the configuration unreadable outside the proxy's group" \
    eval '[ "$(stat -c "%U:%G" "$logdir/wrenacl.log")" = proxy:adm ] &&
          grep -a -q "readconfig() failed." "$logdir/wrenacl.log" && [ ! -s "$work/helper.out" ]'

# --- remove and purge ---------------------------------------------------------------------
find /etc/wrenacl "$logdir" /usr/share/doc/wrenacl >"$work/used.txt"
check "dpkg -r removes the package" dpkg -r wrenacl
check "remove keeps the configuration and the logs, not the rest" \
    eval '[ "$(dpkg-query -W -f="\${db:Status-Status}" wrenacl)" = config-files ] &&
          [ -f "$name" ] && [ -f "$logdir/wrenacl.log" ] && [ ! -e "$helper" ] &&
          [ ! -L /etc/wrenacl/wrenacl.log ] && [ ! -e /usr/share/doc/wrenacl ]'
check "dpkg -P purges the package" dpkg -P wrenacl
installed=0
snapshot "${paths[@]}" >"$work/after.txt"
check "after the purge every path is as before" diff "$work/before.txt" "$work/after.txt"
check "nothing the package or the test made is left" \
    eval '[ -z "$(while read -r p; do [ -e "$p" ] || [ -L "$p" ] && echo "$p"; done <"$work/used.txt")" ]'
check "dpkg has forgotten the package" \
    eval 'state=$(dpkg-query -W -f="\${db:Status-Status}" wrenacl 2>/dev/null);
          [ -z "$state" ] || [ "$state" = not-installed ] && [ -z "$(ls /var/lib/dpkg/info/wrenacl.* 2>/dev/null)" ]'

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
