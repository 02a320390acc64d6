#!/usr/bin/env bash
# The first two lines a started program writes are the log's start-up lines, with the command line.
set -euo pipefail
exe=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$exe" --probe "two words" >"$out" 2>/dev/null &
pid=$!
for _ in $(seq 100); do
  [ "$(wc -l <"$out")" -ge 2 ] && break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
line1=$(sed -n 1p "$out")
line2=$(sed -n 2p "$out")
expected2="Command line: $exe --probe \"two words\""
[ "$line1" = "Log system initializing." ] || { echo "first line: '$line1'"; exit 1; }
[ "$line2" = "$expected2" ] || { echo "second line: '$line2', expected '$expected2'"; exit 1; }
echo "startup lines ok"
