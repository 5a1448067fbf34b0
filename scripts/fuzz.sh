#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (first argument, seconds; default 60). Fails on any crash or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DWRENACL_FUZZ=ON -DWRENACL_TESTS=OFF -DWRENACL_SANITIZE=OFF
cmake --build build-fuzz -j"${JOBS:-2}"

shopt -s nullglob
status=0
for bin in build-fuzz/fuzz/fuzz_*; do
  name=$(basename "$bin"); name=${name#fuzz_}
  seeds=fuzz/corpus/$name
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
  echo "== fuzzing $name for ${secs}s"
  if ! UBSAN_OPTIONS=halt_on_error=1 "$bin" -max_total_time="$secs" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "$work" >"$work.log" 2>&1; then
    echo "fuzz target $name FAILED:"; tail -n 60 "$work.log"; status=1
  else
    grep -E '^stat::number_of_executed_units' "$work.log" || true
  fi
  rm -rf "$work" "$work.log"
done
exit $status
