#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (Debian 12
# "bookworm" or 13 "trixie"; the names are those both releases know).
# The helper itself needs only a C++20 compiler and CMake; the rest serves
# the tests (GoogleTest, OpenSSL as an independent oracle and for the test
# directory server, clang and the sanitizer and fuzzer runtime of the
# release's default clang for the fuzzers, tshark as a protocol witness,
# squid as the real proxy), the benchmarks (strace counts the helper's system
# calls) and the Debian package (dpkg-dev
# and file for CPack's DEB generator and dpkg-shlibdeps, lintian to check the
# package, logrotate for its rotation snippet).
set -euo pipefail

pkgs=(cmake g++ make libgtest-dev libgmock-dev libssl-dev libbenchmark-dev
      clang libclang-rt-dev tshark squid curl python3 procps strace
      dpkg-dev file lintian logrotate)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; the default (no) is fine.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
# The tests start their own private squid; keep the package from starting a
# system-wide one (and from failing where no init system runs).
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod +x "$policy"
  trap 'rm -f "$policy"' EXIT
fi
apt-get -o Acquire::Retries=3 update -qq
apt-get -o Acquire::Retries=3 install -y -qq --no-install-recommends "${missing[@]}"
