#!/bin/bash
# Debian 13 ("trixie") as a new user meets it, tried from another Debian
# machine (CI's Debian 12): a chroot made with debootstrap from Debian's
# archive, and in it, as root,
#   1. a fresh clone of this repository's HEAD, where the README's commands
#      run as they stand: scripts/demo.sh, then scripts/test.sh (both
#      suites);
#   2. tests/package/deb_test.sh with the package built on this machine
#      (DEB, or built first with the README's command): installed with apt,
#      checked with Debian 13's lintian, the squid test against Debian 13's
#      squid and the installed helper, removed and purged;
#   3. deb_test.sh with the package built in the chroot.
# Each part says how long it took.
#
# Everything lives under one temporary folder (in TMPDIR, default /var/tmp:
# the chroot and its builds take about 2 GB), removed at the end. /proc,
# /dev (and /dev/pts), /dev/shm and /sys are mounted into the chroot for the
# run and unmounted whatever happens, after every process still running in
# the chroot has been stopped. The machine's own packages stay as they are,
# except debootstrap, installed when missing.
#
# Usage: debian13.sh [DEB]
# Environment: MIRROR (default http://deb.debian.org/debian), JOBS (default
# 2), KEEP_CHROOT=1 (keep the folder; the mounts are undone all the same).
# Exit status 0 = pass, 1 = fail, 77 = skipped (not root).

set -u -o pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
deb=${1:-}
mirror=${MIRROR:-http://deb.debian.org/debian}
suite=trixie

passed=0
failed=0
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (debootstrap, chroot, mounts)"; exit 77; }
command -v git >/dev/null || { echo "SKIP: git is not installed"; exit 77; }
if [ -n "$deb" ]; then
    deb=$(realpath "$deb") && [ -f "$deb" ] || { echo "FAIL: no package $1"; exit 1; }
fi

tmp=$(mktemp -d "${TMPDIR:-/var/tmp}/wrenacl-debian13-XXXXXX") || exit 1
root=$tmp/root

# The processes whose root is the chroot (a helper, squid or a test server
# that outlived its test).
chroot_pids() {
    local p r
    for p in /proc/[0-9]*; do
        r=$(readlink "$p/root" 2>/dev/null) || continue
        [ "$r" = "$root" ] || [[ $r == "$root"/* ]] && echo "${p#/proc/}"
    done
}

finish() {
    local pids i m
    pids=$(chroot_pids)
    if [ -n "$pids" ]; then
        echo "--- stopping what still runs in the chroot: $(echo $pids)"
        kill -TERM $pids 2>/dev/null
        for ((i = 0; i < 50; i++)); do
            [ -z "$(chroot_pids)" ] && break
            sleep 0.1
        done
        pids=$(chroot_pids)
        [ -n "$pids" ] && kill -KILL $pids 2>/dev/null && sleep 0.5
    fi
    # Every mount under the folder, ours and any debootstrap left, deepest
    # first.
    for m in $(awk -v t="$tmp/" 'index($2, t) == 1 { print $2 }' /proc/self/mounts | sort -r); do
        umount "$m" 2>/dev/null || umount -l "$m" || echo "FAIL: cannot unmount $m"
    done
    if awk -v t="$tmp/" 'index($2, t) == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
        echo "--- $tmp still has mounts; kept"
    elif [ "${KEEP_CHROOT:-0}" = 1 ]; then
        echo "--- kept $tmp"
    else
        rm -rf --one-file-system "$tmp"
    fi
}
trap finish EXIT
trap 'exit 1' INT TERM

# part NAME COMMAND...: one counted part, timed.
part() {
    local name=$1 start=$SECONDS status
    shift
    echo "=== $name"
    "$@"
    status=$?
    if [ "$status" -eq 0 ]; then
        passed=$((passed + 1))
        echo "=== ok: $name ($((SECONDS - start)) s)"
    else
        failed=$((failed + 1))
        echo "=== FAIL: $name (status $status, $((SECONDS - start)) s)"
    fi
    return "$status"
}

# in_chroot COMMAND: runs a shell command in the chroot's clone, with the
# environment of a root login and no standard input.
in_chroot() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive JOBS="${JOBS:-2}" \
        /bin/bash -c "cd /root/wrenacl && $1" </dev/null
}

# --- the package of this machine ----------------------------------------------------
build_here() {
    cmake -S "$src" -B "$tmp/build-deb" -DWRENACL_DEB=ON -DWRENACL_TESTS=OFF >"$tmp/build.log" 2>&1 &&
        cmake --build "$tmp/build-deb" -j"${JOBS:-2}" --target package >>"$tmp/build.log" 2>&1 ||
        { tail -n 40 "$tmp/build.log"; return 1; }
    deb=$(ls "$tmp"/build-deb/wrenacl_*.deb)
}
if [ -z "$deb" ]; then
    part "the package, built on this machine" build_here || exit 1
fi
echo "package of this machine: $deb ($(. /etc/os-release && echo "$PRETTY_NAME"))"

# --- the chroot ---------------------------------------------------------------------------
bootstrap() {
    local attempt
    if ! command -v debootstrap >/dev/null; then
        { apt-get -o Acquire::Retries=3 update -qq &&
              DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 install -y -qq debootstrap
        } >"$tmp/debootstrap.log" 2>&1 || { tail -n 20 "$tmp/debootstrap.log"; return 1; }
    fi
    # A download that breaks off is tried again from scratch.
    for attempt in 1 2 3; do
        rm -rf --one-file-system "$root"
        if debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$tmp/debootstrap.log" 2>&1; then
            break
        fi
        tail -n 20 "$tmp/debootstrap.log"
        [ "$attempt" = 3 ] && return 1
        echo "--- debootstrap failed (attempt $attempt), again"
        awk -v t="$tmp/" 'index($2, t) == 1 { print $2 }' /proc/self/mounts | sort -r | xargs -r umount -l
        sleep 10
    done
    # Services stay stopped (squid's postinst would start one); apt retries
    # what breaks off.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 0755 "$root/usr/sbin/policy-rc.d"
    echo 'Acquire::Retries "5";' >"$root/etc/apt/apt.conf.d/80retries"
    mount -t proc proc "$root/proc" &&
        mount --bind /dev "$root/dev" && mount --make-private "$root/dev" &&
        mount --bind /dev/pts "$root/dev/pts" &&
        mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm" &&
        mount -t sysfs sysfs "$root/sys" || return 1
    grep -q '^VERSION_ID="13"' "$root/etc/os-release" || { cat "$root/etc/os-release"; return 1; }
}
part "debootstrap $suite from $mirror" bootstrap || exit 1

clone() {
    git clone --quiet --no-local "$src" "$root/root/wrenacl" &&
        git -C "$root/root/wrenacl" checkout --quiet --detach "$(git -C "$src" rev-parse HEAD)" &&
        mkdir -p "$root/root/host-package" && cp "$deb" "$root/root/host-package/"
}
part "a fresh clone of $(git -C "$src" rev-parse --short HEAD)" clone || exit 1

# --- the README's commands ------------------------------------------------------------------
demo() {
    in_chroot 'scripts/demo.sh' | tee "$tmp/demo.out" &&
        grep -q -- '-> OK$' "$tmp/demo.out" && grep -q -- '-> ERR$' "$tmp/demo.out"
}
part "scripts/demo.sh" demo
part "scripts/test.sh" in_chroot 'scripts/test.sh'

# --- the packages ------------------------------------------------------------------------
part "the package of this machine on $suite" \
    in_chroot "bash tests/package/deb_test.sh /root/host-package/$(basename "$deb")"
part "the package built on $suite" in_chroot 'bash tests/package/deb_test.sh'

echo "debian13: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
