#!/usr/bin/env bash
# Cancel latency against the stand-in (bench/cancel_latency.cpp): median of ten, at most 200 ms,
# with the server inside WAITFOR DELAY and with 10,000,000 rows streaming.
set -euo pipefail
bin=${1:-build/release/bin}
data=$(mktemp -d)
coproc SERVER { exec "$bin/tolvan-sandbox" --port 0 --data-dir "$data"; }
trap '[ -n "${SERVER_PID:-}" ] && kill $SERVER_PID 2>/dev/null; wait 2>/dev/null || true; rm -rf "$data"' EXIT
read -r line <&"${SERVER[0]}"
"$bin/cancel_latency" "${line##*:}"
