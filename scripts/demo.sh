#!/usr/bin/env bash
# Shows the helper at work: builds it and the test directory server, starts
# the server with the example directory on a free loopback port, writes a
# helper configuration for it and feeds a few request lines to build/wrenacl,
# once anonymously and once as a search user. Each request is shown beside
# its reply, then the helper's log.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

if [ "$(id -u)" -eq 0 ]; then scripts/install-deps.sh; fi
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target wrenacl wrenacl-testserver >/dev/null

# No dot in the directory name: the helper cuts its name at the last dot.
work=$(mktemp -d /tmp/wrenacl-demo-XXXXXX)
server=
stop_server() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  server=
}
trap 'stop_server; rm -rf "$work"' EXIT

# demo TITLE DIRECTORY-FILE CONFIG-LINES REQUEST...
demo() {
  local title=$1 directory=$2 config=$3; shift 3
  exec 3< <(exec "$build/wrenacl-testserver" --directory "$directory" --port 0 --log "$work/server.log")
  server=$!
  local port; read -r port <&3   # the server's first line is its port
  printf 'Server 127.0.0.1\nPort %s\n%s' "$port" "$config" > "$work/demo.conf"
  echo "== $title (test server on 127.0.0.1:$port)"
  sed 's/^/   /' "$work/demo.conf"
  echo
  printf '%s\n' "$@" > "$work/requests"
  "$build/wrenacl" "$work/demo" < "$work/requests" > "$work/replies"
  paste -d '\t' "$work/requests" "$work/replies" | awk -F '\t' '{ printf "   %-50s -> %s\n", $1, $2 }'
  echo
  echo "   log:"
  tr -d '\r' < "$work/demo.log" | sed 's/^/   /'
  echo
  stop_server
  exec 3<&-
  echo "   test server: $(grep -c '^DEVIATION' "$work/server.log" || true) protocol deviations seen"
  echo
  rm -f "$work/demo.log" "$work/server.log"
}

# The example directory lets only logged-in connections read groups; the
# anonymous run uses a copy that lets anyone read them.
sed 's/^group-read .*/group-read anyone/' examples/directory.txt > "$work/anyone.txt"

demo "anonymous, with percent decoding" "$work/anyone.txt" $'ConvertPercent Yes\n' \
  "alice.sales.acme staff.sales.acme" \
  ".alice.sales.acme all.acme" \
  "alice.sales.acme sales.acme" \
  "Ann%20Smith.sales.acme sales%20team.sales.acme" \
  "nobody.acme all.acme" \
  "alice"

demo "search user search.acme, with Debug" examples/directory.txt \
  $'SearchUser search.acme\nSearchPass Search-Pass1\nDebug Yes\n' \
  "alice.sales.acme all.acme" \
  "CN=alice.OU=sales.O=acme staff.sales.acme" \
  "ghost.acme all.acme" \
  "alice.sales.acme staff.acme"
